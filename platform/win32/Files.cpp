// Files, folders and profile files over the wide Win32 calls.
#include <vector>
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

namespace {

// Writes every byte or reports why not; WriteFile may write less than asked.
bool WriteAll(HANDLE file, const std::string& bytes, std::uint32_t* error) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const DWORD chunk = left > 0x10000000u ? 0x10000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
            if (error) *error = ::GetLastError();
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// This program declares no long-path awareness, so Windows refuses a path of
// MAX_PATH characters or more (folders: MAX_PATH - 12, room for an 8.3 name)
// before it touches the disk. Wine accepts such paths; refusing them here
// keeps both alike.
bool TooLong(const std::wstring& path, std::size_t limit, std::uint32_t* error) {
    if (path.size() < limit) return false;
    if (error) *error = ERROR_FILENAME_EXCED_RANGE;
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return true;
}

}  // namespace

bool Files::FindFirstExists(const std::wstring& pattern) {
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    return find.IsValid();
}

bool Files::CreateDirectory(const std::wstring& path, std::uint32_t* error) {
    if (TooLong(path, MAX_PATH - 12, error)) return false;
    if (::CreateDirectoryW(path.c_str(), nullptr)) return true;
    if (error) *error = ::GetLastError();
    return false;
}

bool Files::DeleteFile(const std::wstring& path) {
    return ::DeleteFileW(path.c_str()) != FALSE;
}

std::int64_t Files::ExclusiveFileSize(const std::wstring& path) {
    ScopedKernelHandle file(::CreateFileW(path.c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return -1;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.Get(), &size)) return -1;
    return size.QuadPart;
}

bool Files::AppendBytes(const std::wstring& path, const std::string& bytes, platform::Share share,
                        std::uint32_t* error) {
    if (TooLong(path, MAX_PATH, error)) return false;
    const DWORD shareMode =
        share == platform::Share::None ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    // Append-only access: every write lands at the end, whatever another
    // writer did to the file meanwhile.
    ScopedKernelHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, shareMode, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        if (error) *error = ::GetLastError();
        return false;
    }
    return WriteAll(file.Get(), bytes, error);
}

bool Files::CreateNewFile(const std::wstring& path, const std::string& bytes,
                          std::uint32_t* error) {
    if (TooLong(path, MAX_PATH, error)) return false;
    ScopedKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        if (error) *error = ::GetLastError();
        return false;
    }
    return WriteAll(file.Get(), bytes, error);
}

std::uint32_t Files::GetAttributes(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str());
}

bool Files::SetAttributes(const std::wstring& path, std::uint32_t attributes) {
    return ::SetFileAttributesW(path.c_str(), attributes) != FALSE;
}

std::wstring Files::GetString(const std::wstring& section, const std::wstring& key,
                              const std::wstring& defaultValue, std::uint32_t capacity,
                              const std::wstring& file) {
    if (capacity == 0) return std::wstring();
    std::vector<wchar_t> buffer(capacity, L'\0');
    const DWORD length = ::GetPrivateProfileStringW(section.c_str(), key.c_str(),
                                                    defaultValue.c_str(), buffer.data(),
                                                    capacity, file.c_str());
    return std::wstring(buffer.data(), length < capacity ? length : capacity - 1);
}

bool Files::WriteString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& file) {
    return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(),
                                        file.c_str()) != FALSE;
}

bool Files::DeleteKey(const std::wstring& section, const std::wstring& key, const std::wstring& file) {
    return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), nullptr, file.c_str()) != FALSE;
}

bool Files::WriteSection(const std::wstring& section, const std::wstring& lines,
                         const std::wstring& file) {
    // The call takes "key=value" strings one after another, each with its
    // terminator (the seam separates them with NULs too), and one more
    // terminator at the end: an empty list is two.
    std::wstring list = lines;
    if (!list.empty() && list.back() != L'\0') list.push_back(L'\0');
    list.push_back(L'\0');
    return ::WritePrivateProfileSectionW(section.c_str(), list.c_str(), file.c_str()) != FALSE;
}

}  // namespace win32
