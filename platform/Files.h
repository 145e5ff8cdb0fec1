// Files, folders and profile (INI) files. Paths are wide; file contents are
// bytes. Text-mode translation (LF -> CR LF) is done by the callers, so every
// write here is binary and byte-exact.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

enum class Share { None, ReadWrite };

class IFiles {
public:
    virtual ~IFiles() = default;

    // FindFirstFileW on the path or pattern, FindClose when something matched.
    // Wildcards are honoured in the last component only. A folder is found by
    // its path without a trailing backslash and not with one.
    virtual bool FindFirstExists(const std::wstring& pattern) = 0;

    // CreateDirectoryW. False with *error set on failure (one level only).
    virtual bool CreateDirectory(const std::wstring& path, std::uint32_t* error) = 0;

    // DeleteFileW.
    virtual bool DeleteFile(const std::wstring& path) = 0;

    // CreateFileW(FILE_READ_DATA, no sharing, OPEN_EXISTING) + GetFileSizeEx.
    // -1 when the open or the query fails.
    virtual std::int64_t ExclusiveFileSize(const std::wstring& path) = 0;

    // Opens for appending (creating when missing) with the given sharing,
    // writes the bytes at the end, closes. False with *error on a failed
    // open; nothing is written then. An empty byte string only creates.
    virtual bool AppendBytes(const std::wstring& path, const std::string& bytes, Share share,
                             std::uint32_t* error) = 0;

    // CreateFileW(CREATE_NEW, read/write sharing), writes, closes. Fails with
    // err::FileExists when the name is taken; never touches an existing file.
    virtual bool CreateNewFile(const std::wstring& path, const std::string& bytes,
                               std::uint32_t* error) = 0;

    // GetFileAttributesW / SetFileAttributesW. INVALID_FILE_ATTRIBUTES is 0xFFFFFFFF.
    virtual std::uint32_t GetAttributes(const std::wstring& path) = 0;
    virtual bool SetAttributes(const std::wstring& path, std::uint32_t attributes) = 0;
};

// The profile functions, with the Win32 contracts:
class IProfile {
public:
    virtual ~IProfile() = default;

    // GetPrivateProfileStringW(section, key, default, buffer, capacity, file):
    // the value (surrounding blanks trimmed, one pair of quotes removed) cut to
    // capacity-1 characters; the default when the file, section or key is absent.
    virtual std::wstring GetString(const std::wstring& section, const std::wstring& key,
                                   const std::wstring& defaultValue, std::uint32_t capacity,
                                   const std::wstring& file) = 0;

    // WritePrivateProfileStringW: creates the file and section as needed,
    // replaces the key's value in place or appends the key to the section.
    virtual bool WriteString(const std::wstring& section, const std::wstring& key,
                             const std::wstring& value, const std::wstring& file) = 0;

    // WritePrivateProfileStringW with no value: removes the key from the
    // section; the section and the other keys stay.
    virtual bool DeleteKey(const std::wstring& section, const std::wstring& key, const std::wstring& file) = 0;

    // WritePrivateProfileSectionW with the given key=value lines (empty list:
    // the section stays, emptied).
    virtual bool WriteSection(const std::wstring& section, const std::wstring& lines,
                              const std::wstring& file) = 0;
};

}  // namespace platform
