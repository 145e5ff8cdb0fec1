// ANSI text of the simulated machine: code page 1252 with '?' as the default
// character, as WideCharToMultiByte / MultiByteToWideChar convert it.
#pragma once
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

class FakeText : public platform::IText {
public:
    std::string ToAnsi(const std::wstring& text) override { return WideToCp1252(text); }
    std::wstring FromAnsi(const std::string& text) override { return Cp1252ToWide(text); }
};

}  // namespace fake
