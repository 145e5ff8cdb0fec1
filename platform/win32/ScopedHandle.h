// One move-only owner for every kind of handle the Win32 layer opens. The
// traits say what "no handle" is and how to give one back; closing keeps the
// thread's last error as it was, so a caller can read the error of the call
// that failed even after the guards on its way out have run.
#pragma once
#include "platform/win32/WinHeaders.h"
#include <cstdint>
#include <utility>

namespace win32 {

template <typename Traits>
class ScopedHandle {
public:
    using Type = typename Traits::Type;

    ScopedHandle() = default;
    explicit ScopedHandle(Type handle) : handle_(handle) {}
    ~ScopedHandle() { Close(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    // True when a handle is held (not the type's "no handle" value).
    bool IsValid() const { return Traits::IsValid(handle_); }
    explicit operator bool() const { return IsValid(); }
    Type Get() const { return handle_; }

    // Gives up ownership without closing; the holder is empty afterwards.
    Type Release() {
        Type handle = handle_;
        handle_ = Traits::NullHandle();
        return handle;
    }

    // Closes what is held (if anything) and takes `handle`.
    void Reset(Type handle = Traits::NullHandle()) {
        Close();
        handle_ = handle;
    }

private:
    void Close() {
        if (Traits::IsValid(handle_)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(handle_);
            ::SetLastError(lastError);
        }
        handle_ = Traits::NullHandle();
    }

    Type handle_ = Traits::NullHandle();
};

// CreateFileW and CreateToolhelp32Snapshot fail with INVALID_HANDLE_VALUE,
// OpenProcessToken and CreateProcessW leave NULL: neither is ever owned.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type NullHandle() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;

struct FindHandleTraits {
    using Type = HANDLE;
    static Type NullHandle() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};
using ScopedFindHandle = ScopedHandle<FindHandleTraits>;

struct RegKeyTraits {
    using Type = HKEY;
    static Type NullHandle() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};
using ScopedRegKey = ScopedHandle<RegKeyTraits>;

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type NullHandle() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::LocalFree(h); }
};
using ScopedLocalMemory = ScopedHandle<LocalMemoryTraits>;

struct ModuleTraits {
    using Type = HMODULE;
    static Type NullHandle() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};
using ScopedModule = ScopedHandle<ModuleTraits>;

struct EventLogTraits {
    using Type = HANDLE;
    static Type NullHandle() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::CloseEventLog(h); }
};
using ScopedEventLog = ScopedHandle<EventLogTraits>;

struct WindowTraits {
    using Type = HWND;
    static Type NullHandle() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::DestroyWindow(h); }
};
using ScopedWindow = ScopedHandle<WindowTraits>;

// The seam passes handles as integers; these turn them back.
template <typename T>
inline T FromHandle(std::uintptr_t value) { return reinterpret_cast<T>(value); }
template <typename T>
inline std::uintptr_t ToHandle(T value) { return reinterpret_cast<std::uintptr_t>(value); }

}  // namespace win32
