// ANSI text of the simulated machine: code page 1252 with '?' as the default
// character, as WideCharToMultiByte / MultiByteToWideChar convert it.
#pragma once
#include <cstdint>
#include <string>
#include "platform/Text.h"

namespace fake {

// Code page 1252 both ways. Characters the page lacks become '?', except the
// Latin Extended-A letters, which the system's best-fit table maps to their
// base letter (e.g. U+0141 -> 'L').
std::string WideToCp1252(const std::wstring& text);
std::wstring Cp1252ToWide(const std::string& bytes);
// UTF-8 for journal lines and test messages.
std::string Utf8(const std::wstring& text);

// The ANSI code pages the simulated machine knows: 1252 (Western) and 1251
// (Cyrillic: the letters U+0410-U+044F at 0xC0-0xFF, U+0401/U+0451 at
// 0xA8/0xB8; anything else becomes '?'). Any other number is taken as 1252.
std::string WideToAnsi(std::uint32_t codePage, const std::wstring& text);
std::wstring AnsiToWide(std::uint32_t codePage, const std::string& bytes);

class FakeText : public platform::IText {
public:
    // The thread's code page (CP_THREAD_ACP): the user's locale, which on a
    // terminal server need not be the system's (see FakeFiles::systemCodePage).
    std::uint32_t codePage = 1252;
    std::string ToAnsi(const std::wstring& text) override { return WideToAnsi(codePage, text); }
    std::wstring FromAnsi(const std::string& text) override { return AnsiToWide(codePage, text); }
    // The system's code page (CP_ACP); keep it equal to FakeFiles::systemCodePage.
    std::uint32_t systemCodePage = 1252;
    bool ShowsInSystemCodePage(const std::wstring& text) override {
        return AnsiToWide(systemCodePage, WideToAnsi(systemCodePage, text)) == text;
    }
};

}  // namespace fake
