// How the statically linked C++ library fails inside quorva.exe.
//
// The library's own versions of these functions are what made the image a
// third larger than its code: its default terminate handler demangles the
// name of the escaping exception's type (linking the whole demangler) to
// print it on a standard error stream that a GUI program does not have, and
// its throw helpers live in one object that builds every standard exception
// class, whose message strings drag in the library's second, reference-
// counted string implementation. Defining them here keeps those objects out
// of the link; a helper that the library still needs from there would fail
// the link with a duplicate definition rather than pass silently.
//
// What the agent sees stays the same. Memory running out still throws
// std::bad_alloc (the restart check catches it and gives up that attempt).
// The failures that carry a message (a string past max_size, a position
// past the end, a string built from a null pointer) are faults in the code;
// nothing in the agent catches them, so the exception would reach
// std::terminate and abort() the process: that happens here at once.
#include <bits/functexcept.h>
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>
#include "window/FatalFailure.h"

namespace __gnu_cxx {
void __verbose_terminate_handler() {
    EndAfterFatalFailure();
    std::abort();
}
}  // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_bad_exception() { throw bad_exception(); }

void __throw_logic_error(const char*) { terminate(); }
void __throw_domain_error(const char*) { terminate(); }
void __throw_invalid_argument(const char*) { terminate(); }
void __throw_length_error(const char*) { terminate(); }
void __throw_out_of_range(const char*) { terminate(); }
void __throw_out_of_range_fmt(const char*, ...) { terminate(); }
void __throw_runtime_error(const char*) { terminate(); }
void __throw_range_error(const char*) { terminate(); }
void __throw_overflow_error(const char*) { terminate(); }
void __throw_underflow_error(const char*) { terminate(); }

}  // namespace std
