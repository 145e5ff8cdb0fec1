// The System event log and the message tables its texts come from.
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

namespace {
// FormatMessageW reads %1..%99 from the array without knowing its length. A
// record with fewer strings than its message refers to must not make it read
// past the end, so the array always has the most a message can name.
constexpr std::size_t kMostInserts = 99;
}  // namespace

platform::Handle EventLog::Open(const std::wstring& source) {
    return ToHandle(::OpenEventLogW(nullptr, source.c_str()));
}

std::uint32_t EventLog::Read(platform::Handle log, std::uint32_t flags, std::uint32_t offset,
                             std::uint8_t* buffer, std::uint32_t size, std::uint32_t* read,
                             std::uint32_t* needed) {
    DWORD bytesRead = 0, bytesNeeded = 0;
    const BOOL ok = ::ReadEventLogW(FromHandle<HANDLE>(log), flags, offset, buffer, size,
                                    &bytesRead, &bytesNeeded);
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (read) *read = bytesRead;
    if (needed) *needed = bytesNeeded;
    return error;
}

void EventLog::Close(platform::Handle log) {
    if (log) ::CloseEventLog(FromHandle<HANDLE>(log));
}

platform::Handle EventLog::LoadLibraryAsDataFile(const std::wstring& path) {
    return ToHandle(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

std::optional<std::wstring> EventLog::FormatMessage(std::uint32_t flags, platform::Handle module,
                                                    std::uint32_t messageId,
                                                    const std::vector<std::wstring>* arguments) {
    std::vector<DWORD_PTR> inserts;
    va_list* argumentList = nullptr;
    if (arguments && (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY)) {
        static const wchar_t kEmpty[] = L"";
        inserts.assign(arguments->size() > kMostInserts ? arguments->size() : kMostInserts,
                       reinterpret_cast<DWORD_PTR>(kEmpty));
        for (std::size_t i = 0; i < arguments->size(); ++i)
            inserts[i] = reinterpret_cast<DWORD_PTR>((*arguments)[i].c_str());
        argumentList = reinterpret_cast<va_list*>(inserts.data());
    } else {
        flags &= ~static_cast<std::uint32_t>(FORMAT_MESSAGE_ARGUMENT_ARRAY);
    }

    wchar_t* text = nullptr;
    const DWORD length =
        ::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, FromHandle<LPCVOID>(module),
                         messageId, 0, reinterpret_cast<wchar_t*>(&text), 0, argumentList);
    ScopedLocalMemory owned(text);
    if (length == 0 || text == nullptr) return std::nullopt;
    return std::wstring(text, length);
}

platform::Handle EventLog::RegisterSource(const std::wstring& source, std::uint32_t* error) {
    HANDLE handle = ::RegisterEventSourceW(nullptr, source.c_str());
    if (error) *error = handle ? ERROR_SUCCESS : ::GetLastError();
    return ToHandle(handle);
}

std::uint32_t EventLog::Report(platform::Handle source, std::uint16_t type, std::uint32_t eventId,
                               const std::vector<std::wstring>& strings) {
    std::vector<LPCWSTR> pointers;
    for (const auto& text : strings) pointers.push_back(text.c_str());
    const BOOL ok = ::ReportEventW(FromHandle<HANDLE>(source), type, 0, eventId, nullptr,
                                   static_cast<WORD>(pointers.size()), 0,
                                   pointers.empty() ? nullptr : pointers.data(), nullptr);
    return ok ? ERROR_SUCCESS : ::GetLastError();
}

void EventLog::DeregisterSource(platform::Handle source) {
    if (source) ::DeregisterEventSource(FromHandle<HANDLE>(source));
}

}  // namespace win32
