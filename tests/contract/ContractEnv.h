// The environment a contract test runs in: the seam under test plus the few
// arrangements the seam itself cannot make. One implementation drives the
// simulated machine (EnvFake.cpp, native), one the real Win32 layer
// (tests/win32/EnvWin32.cpp, cross-built and run under Wine). The
// test files use only this header, the platform headers and GoogleTest.
//
// What an implementation must provide:
//
//  - MakeEnv() returns a fresh environment for one test; its destructor
//    removes everything the test created (scratch folder with its contents,
//    scratch registry key with its values) and releases every held file.
//
//  - os(): the Platform under test. The Win32 one must run with the ANSI
//    code page 1252 and an English (United States) system locale, so that
//    GetTimeFormatA's "tt" gives "AM"/"PM"; AnsiCodePage() reports GetACP()
//    so that the text tests can skip elsewhere.
//
//  - ScratchFolder(): the full wide path of an empty folder that exists,
//    without a trailing backslash, unique to this environment, short enough
//    that 100 more characters stay well below MAX_PATH (the Win32 one lives
//    under the temporary folder, e.g. C:\users\<u>\Temp\qvc-<n>). Its
//    parent exists; nothing else is assumed of it.
//
//  - ScratchKey(): a subkey path of HKEY_CURRENT_USER (no leading
//    backslash), e.g. "Software\QuorvaContract\<n>", that exists and is
//    empty when the test starts.
//  - SetRegistryValue(name, type, bytes): RegSetValueExW in the scratch key
//    with exactly these bytes and this type. A REG_SZ without terminator must
//    stay without one: RegSetValueExW counts a NUL that merely follows the
//    data in memory, so pass a copy followed by non-zero bytes. True on
//    success.
//  - DeleteRegistryValue(name): RegDeleteValueW in the scratch key.
//
//  - HoldWithoutSharing(path): another opener holds the existing file open
//    with no sharing at all (CreateFileW with GENERIC_READ|GENERIC_WRITE,
//    share mode 0, OPEN_EXISTING; a handle of the test process itself is
//    enough, since sharing is checked per open). True when held.
//  - HoldWithByteRangeLock(path): another opener holds the existing file open
//    with read and write sharing (GENERIC_READ|GENERIC_WRITE,
//    FILE_SHARE_READ|FILE_SHARE_WRITE, OPEN_EXISTING) and an exclusive
//    byte-range lock from offset 0 over the largest length (LockFileEx with
//    LOCKFILE_EXCLUSIVE_LOCK|LOCKFILE_FAIL_IMMEDIATELY, MAXDWORD, MAXDWORD), as
//    a virus scanner may. True when held and locked.
//  - Release(path): closes that handle (which also drops its lock).
//
//  - CreateFolderTree(path) and PutFile(path, bytes): arrange folders and
//    files by other means than the seam (CreateDirectoryW per level,
//    CreateFileW + WriteFile, CREATE_ALWAYS). ReadFile(path, &bytes): the
//    whole file, false when it cannot be read.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "platform/Platform.h"

namespace contract {

class Env {
public:
    virtual ~Env() = default;

    virtual platform::Platform& os() = 0;
    virtual std::uint32_t AnsiCodePage() = 0;

    virtual std::wstring ScratchFolder() = 0;
    virtual bool CreateFolderTree(const std::wstring& path) = 0;
    virtual bool PutFile(const std::wstring& path, const std::string& bytes) = 0;
    virtual bool ReadFile(const std::wstring& path, std::string* bytes) = 0;
    virtual bool HoldWithoutSharing(const std::wstring& path) = 0;
    virtual bool HoldWithByteRangeLock(const std::wstring& path) = 0;
    // Another process holds the file open, sharing deletion, and the file is
    // deleted: its name is delete-pending until Release.
    virtual bool HoldAndDelete(const std::wstring& path) = 0;
    virtual void Release(const std::wstring& path) = 0;

    virtual std::wstring ScratchKey() = 0;
    virtual bool SetRegistryValue(const std::wstring& name, std::uint32_t type,
                                  const std::vector<std::uint8_t>& bytes) = 0;
    virtual void DeleteRegistryValue(const std::wstring& name) = 0;
};

// Defined by the implementation linked into the test program.
std::unique_ptr<Env> MakeEnv();

}  // namespace contract
