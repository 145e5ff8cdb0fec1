// The one way the Win32 layer takes in the Windows headers. The seam's
// interfaces use plain names (CreateDirectory, DeleteFile, LoadLibrary, ...)
// that the headers turn into macros; they are undone here so that a method
// means the same in every file, and the calls below name the W functions.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <cstdint>

#undef CreateDirectory
#undef DeleteFile
#undef GetUserName
#undef LoadLibrary
#undef GetSystemDirectory
#undef FormatMessage
#undef GetObject
#undef AbortSystemShutdown
