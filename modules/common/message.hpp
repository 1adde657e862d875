// Message: an error text formatted in C++ while the work of a call still
// holds its resources, and raised once everything has been released.  Plain
// bytes, so a Lua error may pass over it.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace luamods {

struct Message {
    bool present = false;
    char text[224];

    // printf-style; the text is cut at 223 characters.  Pointers are passed
    // as `const void*` and written with %p as the C runtime prints them.
    void set(const char* format, ...) noexcept
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        va_list ap;
        va_start(ap, format);
        vset(format, ap);
        va_end(ap);
    }

    void vset(const char* format, va_list ap) noexcept
    {
#ifdef _WIN32
        // The system C runtime's own formatter (mingw's replacement prints
        // %p differently); it does not terminate a cut text itself.
        _vsnprintf(text, sizeof text - 1, format, ap);
        text[sizeof text - 1] = '\0';
#else
        std::vsnprintf(text, sizeof text, format, ap);
#endif
        present = true;
    }
};

static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));

}  // namespace luamods
