#error "The portable core must not include <windows.h>: put the call behind platform/."
