// The UTF-8/UTF-16 conversions.  Checked on arbitrary bytes read both as
// UTF-8 and as UTF-16 units:
// - the UTF-16 made from any bytes is well formed (surrogates paired), holds
//   no more units than there were bytes, and is empty only for empty input;
// - converting it back gives well-formed UTF-8 that converts to the same
//   units again (a fixed point);
// - bytes without a replacement character in or out come back unchanged, so
//   nothing ill formed (an overlong form, an encoded surrogate) is accepted as
//   a character;
// - units that are well formed survive the trip through UTF-8 unchanged, and
//   each unpaired surrogate becomes exactly one U+FFFD.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "Win32/text.hpp"

using namespace luamods::win32;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool is_high(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

bool well_formed_utf16(const WideString& w)
{
    for (std::size_t i = 0; i < w.size(); ++i) {
        const auto u = static_cast<std::uint32_t>(w[i]);
        if (u > 0xFFFF || is_low(u))
            return false;
        if (is_high(u)) {
            if (i + 1 >= w.size() || !is_low(static_cast<std::uint32_t>(w[i + 1])))
                return false;
            ++i;
        }
    }
    return true;
}

// The units with every unpaired surrogate replaced by U+FFFD.
WideString repaired(const WideString& w)
{
    WideString out;
    for (std::size_t i = 0; i < w.size(); ++i) {
        const auto u = static_cast<std::uint32_t>(w[i]);
        if (is_high(u) && i + 1 < w.size() && is_low(static_cast<std::uint32_t>(w[i + 1]))) {
            out.push_back(w[i]);
            out.push_back(w[i + 1]);
            ++i;
        } else if (is_high(u) || is_low(u)) {
            out.push_back(static_cast<wchar_t>(0xFFFD));
        } else {
            out.push_back(w[i]);
        }
    }
    return out;
}

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const char*>(data);

    // Bytes as UTF-8.
    const WideString wide = utf8_to_wide(bytes, size);
    check(wide.empty() == (size == 0));
    check(wide.size() <= size);
    check(well_formed_utf16(wide));
    const std::string back = wide_to_utf8(wide.data(), static_cast<std::ptrdiff_t>(wide.size()));
    check(utf8_to_wide(back.data(), back.size()) == wide);
    const std::string_view in(bytes, size);
    if (wide.find(static_cast<wchar_t>(0xFFFD)) == WideString::npos &&
        in.find(kReplacementUtf8) == std::string_view::npos)
        check(back == in);

    // Bytes as UTF-16 units (little-endian pairs).
    WideString units;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        units.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    const std::string utf8 = wide_to_utf8(units.data(), static_cast<std::ptrdiff_t>(units.size()));
    check(utf8.size() <= 3 * units.size());
    check(utf8_to_wide(utf8.data(), utf8.size()) == repaired(units));
    return 0;
}
