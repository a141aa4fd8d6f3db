// Size: libstdc++ raises its own range and length errors through
// std::__throw_* helpers whose exception classes carry reference-counted
// strings, which links in a second full std::string implementation (about
// 60 KiB). The stub replaces those helpers: a length error is an allocation
// that cannot be made ("Out of memory" to the user), a range error is
// reported as the system's one failure type.
#include <new>

#include "codec/error.h"

#if defined(__GLIBCXX__)
namespace std {
void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_length_error(const char*) { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_alloc(); }
void __throw_logic_error(const char*) { throw upkit::Error("Range check error"); }
void __throw_out_of_range(const char*) { throw upkit::Error("Range check error"); }
void __throw_out_of_range_fmt(const char*, ...) { throw upkit::Error("Range check error"); }
void __throw_invalid_argument(const char*) { throw upkit::Error("Range check error"); }
}  // namespace std
#endif

// Size: the C runtime's default math error handler prints a report of each
// failing math call to stderr, with a table of error names; the stub has no
// console, so this one only lets the call return its default result.
#if defined(__MINGW32__)
extern "C" int _matherr(struct _exception*) { return 0; }
#endif
