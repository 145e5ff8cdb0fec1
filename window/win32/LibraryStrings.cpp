// The one string helper that the library exports for C++20 code.
//
// From GCC 13 on, <string> declares basic_string's _M_replace_cold as an
// explicit instantiation that lives in the static library. The library
// keeps every member of std::string (and of std::wstring) in one object
// without per-function sections, so a single call to that helper, made by
// any insert or replace, links the whole object: 39 KiB that the agent
// never calls, and the x64 image would no longer fit its size goal.
// Instantiating the helper here satisfies the reference, and the
// library's objects stay out; everything else of basic_string is
// instantiated where it is used and trimmed by the linker.
#include <string>

#if __GNUC__ >= 13 && _GLIBCXX_USE_CXX11_ABI
template void std::string::_M_replace_cold(char*, size_type, const char*, const size_type,
                                           const size_type);
template void std::wstring::_M_replace_cold(wchar_t*, size_type, const wchar_t*,
                                            const size_type, const size_type);
#endif
