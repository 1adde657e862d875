#include "Win32/text.hpp"

#include <windows.h>

#include <climits>

namespace luamods::win32 {

WideString utf8_to_wide(const char* bytes, std::size_t length)
{
    WideString out;
    if (!bytes || length == 0)
        return out;
    // The system call takes a 32-bit count; bytes beyond it are not converted.
    const int n = length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, n, nullptr, 0);
    if (units <= 0)
        return out;
    out.resize(static_cast<std::size_t>(units));
    const int written = MultiByteToWideChar(CP_UTF8, 0, bytes, n, out.data(), units);
    if (written <= 0)
        out.clear();
    else
        out.resize(static_cast<std::size_t>(written));
    return out;
}

std::string wide_to_utf8(const wchar_t* units, std::ptrdiff_t count)
{
    std::string out;
    if (!units || count <= 0)
        return out;
    const int n = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, units, n, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return out;
    out.resize(static_cast<std::size_t>(bytes));
    const int written =
        WideCharToMultiByte(CP_UTF8, 0, units, n, out.data(), bytes, nullptr, nullptr);
    if (written <= 0)
        out.clear();
    else
        out.resize(static_cast<std::size_t>(written));
    return out;
}

}  // namespace luamods::win32
