// Wide text and the thread's ANSI code page.
#include <vector>
#include "platform/win32/Win32Platform.h"

namespace win32 {

std::string Text::ToAnsi(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int wideLength = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wideLength, nullptr, 0,
                                             nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string result(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wideLength, &result[0], length, nullptr,
                          nullptr);
    return result;
}

std::wstring Text::FromAnsi(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int narrowLength = static_cast<int>(text.size());
    const int length =
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrowLength, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrowLength, &result[0], length);
    return result;
}

bool Text::ShowsInSystemCodePage(const std::wstring& text) {
    if (text.empty()) return true;
    const int wideLength = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return false;
    std::string narrow(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), wideLength, &narrow[0], length, nullptr, nullptr);
    const int back = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, nullptr, 0);
    if (back != wideLength) return false;
    std::wstring wide(static_cast<std::size_t>(back), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, &wide[0], back);
    return wide == text;
}

}  // namespace win32
