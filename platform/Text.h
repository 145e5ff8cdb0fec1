// Conversion between wide text and the thread's ANSI code page.
#pragma once
#include <string>

namespace platform {

class IText {
public:
    virtual ~IText() = default;
    // WideCharToMultiByte(CP_THREAD_ACP, 0, ...): characters the code page
    // cannot show become its default character.
    virtual std::string ToAnsi(const std::wstring& text) = 0;
    // MultiByteToWideChar(CP_THREAD_ACP, 0, ...).
    virtual std::wstring FromAnsi(const std::string& text) = 0;
    // Whether the system's code page (CP_ACP), which the profile functions
    // use for a file without a byte-order mark, shows the text as it is (it
    // survives the round trip). On a terminal server the thread's page (the
    // user's locale) and the system's may differ.
    virtual bool ShowsInSystemCodePage(const std::wstring& text) = 0;
};

}  // namespace platform
