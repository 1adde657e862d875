// Text at the boundary with Windows: scripts speak UTF-8, every system call
// here takes UTF-16.  Both conversions are lenient (ill-formed input becomes
// U+FFFD), so only empty input gives an empty result.
#pragma once

#include <cstddef>
#include <string>

namespace luamods::win32 {

// UTF-16 text with its own length; c_str() is always NUL-terminated, so the
// buffer can be handed to Windows as it is.
using WideString = std::wstring;

WideString utf8_to_wide(const char* bytes, std::size_t length);
std::string wide_to_utf8(const wchar_t* units, std::ptrdiff_t count);

}  // namespace luamods::win32
