// A fixed-capacity wide text buffer: N code units including the terminator.
// Assigning a longer text cuts it to N-1 characters, as a fixed array would,
// without ever writing past the end.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

template <std::size_t N>
class WideBuffer {
    static_assert(N > 0);
public:
    static constexpr std::size_t capacity = N;

    WideBuffer() = default;
    WideBuffer& operator=(std::wstring_view text) {
        text_.assign(text.substr(0, std::min(text.size(), N - 1)));
        return *this;
    }
    void clear() { text_.clear(); }
    bool empty() const { return text_.empty(); }
    std::size_t size() const { return text_.size(); }
    const std::wstring& str() const { return text_; }
    const wchar_t* c_str() const { return text_.c_str(); }
    operator std::wstring_view() const { return text_; }
    bool operator==(std::wstring_view other) const { return text_ == other; }

private:
    std::wstring text_;
};
