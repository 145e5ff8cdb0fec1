// The program's entry: the one application object, started the way the
// framework starts it.
#include "window/win32/QuorvaApp.h"

namespace {
win32::CQuorvaApp theApp;
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    return theApp.Run(instance);
}
