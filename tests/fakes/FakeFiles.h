// In-memory files and folders of the simulated machine, with the profile
// (INI) functions working on the same bytes. Paths are case-insensitive and
// take '\' or '/' as separators; drive roots ("C:") always exist.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>
#include "platform/Files.h"

namespace fake {

constexpr std::uint32_t FileAttributeReadOnly = 0x01;
constexpr std::uint32_t FileAttributeHidden = 0x02;
constexpr std::uint32_t FileAttributeDirectory = 0x10;
constexpr std::uint32_t FileAttributeArchive = 0x20;
constexpr std::uint32_t FileAttributeNormal = 0x80;
constexpr std::uint32_t InvalidFileAttributes = 0xFFFFFFFFu;

class FakeFiles : public platform::IFiles, public platform::IProfile {
public:
    // Effects are appended here when set (FakeMachine wires its journal).
    std::vector<std::string>* journal = nullptr;

    // The system's ANSI code page (CP_ACP), which the profile functions use
    // for a file without the UTF-16 byte-order mark (1252 or 1251, as FakeText).
    std::uint32_t systemCodePage = 1252;

    // ---- test hooks ----
    // Creates the file (and every missing folder above it) with these bytes.
    void PutFile(const std::wstring& path, const std::string& bytes);
    // The file's bytes; nullopt when there is no such file.
    std::optional<std::string> Read(const std::wstring& path) const;
    bool Exists(const std::wstring& path) const;  // file or folder
    bool IsFolder(const std::wstring& path) const;
    // Creates the folder and every missing folder above it.
    void MakeFolder(const std::wstring& path);
    // Another process holds the file open without sharing: opens by the agent
    // fail with ERROR_SHARING_VIOLATION until Unlock. Opens that the seam's
    // own calls hold (see whileOpen) follow CreateFileW's sharing rules too:
    // an open without sharing refuses and is refused by every other open, and
    // no open shares deletion.
    void Lock(const std::wstring& path);
    void Unlock(const std::wstring& path);
    // Writes to the file (and its creation) fail with ERROR_ACCESS_DENIED.
    // A folder given here refuses new files in it the same way (a folder the
    // user may not write, as Program Files is for standard users).
    void DenyWrite(const std::wstring& path);
    // Another process deleted the file while a third still holds it open:
    // the name is delete-pending until ReleaseDeletePending, and creating a
    // file of that name fails with ERROR_ACCESS_DENIED ("DeleteFile
    // function": "The DeleteFile function marks a file for deletion on close
    // ... Subsequent calls to CreateFile to open the file fail with
    // ERROR_ACCESS_DENIED.").
    void DeletePending(const std::wstring& path);
    void ReleaseDeletePending(const std::wstring& path);
    // Another process holds the file open with read/write sharing and a
    // byte-range lock over all of it and beyond (LockFileEx): an open without
    // sharing fails with ERROR_SHARING_VIOLATION, a shared one succeeds and
    // its append fails with ERROR_LOCK_VIOLATION, until UnlockRange.
    void LockRange(const std::wstring& path);
    void UnlockRange(const std::wstring& path);
    // Removes a file or a folder with everything in it.
    void Remove(const std::wstring& path);
    // Names (as created) of the files and folders directly in a folder.
    std::vector<std::wstring> List(const std::wstring& folder) const;
    // Every pattern FindFirstExists was asked about, in order.
    std::vector<std::wstring> findCalls;
    // Runs while AppendBytes or CreateNewFile holds its file open, between
    // the open and the write. Several agents on one machine switch here, so
    // that one agent's open meets another's (see FakeTerminalServer).
    std::function<void(const std::wstring& path)> whileOpen;
    // Runs as AppendBytes begins, before its open: another program may take
    // the file between the agent's look and its open.
    std::function<void(const std::wstring& path)> beforeAppend;

    // ---- IFiles ----
    bool FindFirstExists(const std::wstring& pattern) override;
    bool CreateDirectory(const std::wstring& path, std::uint32_t* error) override;
    bool DeleteFile(const std::wstring& path) override;
    std::int64_t ExclusiveFileSize(const std::wstring& path) override;
    bool AppendBytes(const std::wstring& path, const std::string& bytes, platform::Share share,
                     std::uint32_t* error) override;
    bool CreateNewFile(const std::wstring& path, const std::string& bytes,
                       std::uint32_t* error) override;
    std::uint32_t GetAttributes(const std::wstring& path) override;
    bool SetAttributes(const std::wstring& path, std::uint32_t attributes) override;

    // ---- IProfile ----
    std::wstring GetString(const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue, std::uint32_t capacity,
                           const std::wstring& file) override;
    bool WriteString(const std::wstring& section, const std::wstring& key,
                     const std::wstring& value, const std::wstring& file) override;
    // A file that does not exist is left so: nothing is written.
    bool DeleteKey(const std::wstring& section, const std::wstring& key, const std::wstring& file) override;
    bool WriteSection(const std::wstring& section, const std::wstring& lines,
                      const std::wstring& file) override;

    // Path key: separators unified to '\', repeated ones collapsed, trailing
    // ones removed, letters folded.
    static std::wstring Key(const std::wstring& path);

private:
    struct Entry {
        std::wstring name;  // last component as created
        bool folder = false;
        std::string bytes;
        std::uint32_t attributes = 0;
        bool locked = false;
        int sharedOpens = 0;     // held by the seam's calls, read/write sharing
        int exclusiveOpens = 0;  // held by the seam's calls, no sharing
        bool rangeLocked = false;  // held by another process, shared, with a lock
    };
    static bool HeldWithoutSharing(const Entry& e) { return e.locked || e.exclusiveOpens > 0; }
    static bool Held(const Entry& e) { return HeldWithoutSharing(e) || e.sharedOpens > 0 || e.rangeLocked; }
    // Holds the file open around `write` (the whileOpen switch included).
    void WhileOpen(const std::wstring& path, bool exclusive, const std::function<void(Entry&)>& write);
    const Entry* Find(const std::wstring& path) const;
    Entry* Find(const std::wstring& path);
    bool ParentIsFolder(const std::wstring& key) const;
    // Opens for writing: the checks CreateFileW makes. 0 when allowed.
    // `exclusive`: the open itself grants no sharing.
    std::uint32_t WriteCheck(const std::wstring& path, bool mayCreate, bool exclusive = false) const;
    void Note(const std::string& line);
    bool ReadProfileLines(const std::wstring& file, std::vector<std::wstring>* lines) const;
    bool WriteProfileLines(const std::wstring& file, const std::vector<std::wstring>& lines);

    std::map<std::wstring, Entry> entries_;
    std::set<std::wstring> denied_;
    std::set<std::wstring> deletePending_;
};

}  // namespace fake
