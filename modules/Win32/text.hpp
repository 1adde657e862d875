// Text at the boundary with Windows: scripts speak UTF-8, every system call
// here takes UTF-16.  Both conversions are lenient (ill-formed input becomes
// U+FFFD), so only empty input gives an empty result.
#pragma once

#include <cstddef>
#include <string>

namespace luamods::win32 {

// UTF-16 text with its own length; c_str() is always NUL-terminated, so the
// buffer can be handed to Windows as it is.  (Where wchar_t is wider, as in
// the native build of the pure parts, each element still holds one UTF-16
// unit.)
using WideString = std::wstring;

// The module's conversions: the system's on Windows, the portable ones below
// elsewhere.  At most INT_MAX bytes or units are converted, as the system
// calls take a 32-bit count.
WideString utf8_to_wide(const char* bytes, std::size_t length);
std::string wide_to_utf8(const wchar_t* units, std::ptrdiff_t count);

// The same conversions written out, with the system's replacement rules as
// measured (under Wine): ill-formed UTF-8 (a stray byte, a sequence broken
// off, an overlong form, a surrogate, a value above U+10FFFF) becomes one
// U+FFFD for the bytes the sequence took, a sequence that the input ends
// inside one U+FFFD for everything left; each unpaired surrogate unit of
// UTF-16 becomes one U+FFFD.  They need nothing from the system, so the
// environment block and its fuzzers build anywhere, and the Windows tests
// hold them against the system's conversions.
WideString portable_utf8_to_wide(const char* bytes, std::size_t length);
std::string portable_wide_to_utf8(const wchar_t* units, std::ptrdiff_t count);

}  // namespace luamods::win32
