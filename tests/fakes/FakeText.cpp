#include "tests/fakes/FakeText.h"
#include <cstdint>

namespace fake {
namespace {

// 0x80-0x9F of code page 1252. The five unassigned bytes map to the C1
// control characters of the same value, as the system's table does.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Best fit for U+0100-U+017F: the base letter, 0 where the page has the
// character itself (handled by kHigh) or no fit is known.
constexpr char kLatinExtA[128 + 1] =
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi\0\0JjKk\0LlLlLlLlLlNnNnNn\0\0\0OoOoOo\0\0RrRrRrSsSsSsSsTtTtTtUuUuUuUuUuUuWwYy\0ZzZz\0\0\0";

// Best fits outside Latin Extended-A (the Greek letters that the code page
// 437 glyphs stood for, the micro sign).
struct Fit {
    char16_t from;
    unsigned char to;
};
constexpr Fit kOtherFits[] = {
    {0x0393, 'G'}, {0x0398, 'T'}, {0x03A3, 'S'}, {0x03A6, 'F'}, {0x03A9, 'O'},
    {0x03B1, 'a'}, {0x03B2, 0xDF}, {0x03B4, 'd'}, {0x03B5, 'e'}, {0x03BC, 0xB5},
    {0x03C0, 'p'}, {0x03C3, 's'}, {0x03C4, 't'}, {0x03C6, 'f'}};

char ToByte(std::uint32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == c) return static_cast<char>(0x80 + i);
    if (c >= 0x100 && c < 0x180) {
        char fit = kLatinExtA[c - 0x100];
        if (fit != 0) return fit;
    }
    for (const auto& f : kOtherFits)
        if (f.from == c) return static_cast<char>(f.to);
    return '?';
}

}  // namespace

std::string WideToCp1252(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        if (sizeof(wchar_t) == 4 && c > 0xFFFF) {
            // A character outside the BMP is two UTF-16 units on Windows,
            // each of which becomes the default character.
            out += "??";
            continue;
        }
        out.push_back(ToByte(c));
    }
    return out;
}

std::wstring Cp1252ToWide(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) {
        if (b >= 0x80 && b < 0xA0) out.push_back(static_cast<wchar_t>(kHigh[b - 0x80]));
        else out.push_back(static_cast<wchar_t>(b));
    }
    return out;
}

std::string WideToAnsi(std::uint32_t codePage, const std::wstring& text) {
    if (codePage != 1251) return WideToCp1252(text);
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        const auto c = static_cast<std::uint32_t>(w);
        if (sizeof(wchar_t) == 4 && c > 0xFFFF) out += "??";
        else if (c < 0x80) out.push_back(static_cast<char>(c));
        else if (c >= 0x410 && c <= 0x44F) out.push_back(static_cast<char>(0xC0 + (c - 0x410)));
        else if (c == 0x401) out.push_back(static_cast<char>(0xA8));
        else if (c == 0x451) out.push_back(static_cast<char>(0xB8));
        else out.push_back('?');
    }
    return out;
}

std::wstring AnsiToWide(std::uint32_t codePage, const std::string& bytes) {
    if (codePage != 1251) return Cp1252ToWide(bytes);
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) {
        if (b < 0x80) out.push_back(static_cast<wchar_t>(b));
        else if (b >= 0xC0) out.push_back(static_cast<wchar_t>(0x410 + (b - 0xC0)));
        else if (b == 0xA8) out.push_back(static_cast<wchar_t>(0x401));
        else if (b == 0xB8) out.push_back(static_cast<wchar_t>(0x451));
        else out.push_back(L'?');
    }
    return out;
}

std::string Utf8(const std::wstring& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            std::uint32_t lo = static_cast<std::uint32_t>(text[i + 1]);
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace fake
