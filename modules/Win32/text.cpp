#include "Win32/text.hpp"

#include <climits>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

namespace luamods::win32 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf16(WideString& out, char32_t c)
{
    if (c < 0x10000) {
        out.push_back(static_cast<wchar_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    }
}

void append_utf8(std::string& out, char32_t c)
{
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

}  // namespace

WideString portable_utf8_to_wide(const char* bytes, std::size_t length)
{
    WideString out;
    if (!bytes || length == 0)
        return out;
    if (length > static_cast<std::size_t>(INT_MAX))
        length = INT_MAX;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    out.reserve(length);
    std::size_t i = 0;
    while (i < length) {
        const unsigned lead = p[i++];
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        // How many continuation bytes the lead byte announces: none for a
        // stray continuation byte, for C0 and C1 (only ever overlong) and
        // for F5 to FF (beyond U+10FFFF).
        std::size_t need = 0;
        if (lead >= 0xC2 && lead <= 0xDF)
            need = 1;
        else if (lead >= 0xE0 && lead <= 0xEF)
            need = 2;
        else if (lead >= 0xF0 && lead <= 0xF4)
            need = 3;
        if (need == 0) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            continue;
        }
        // A sequence that the input ends inside is one replacement for all
        // that is left, whatever those bytes are.
        if (length - i < need) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            i = length;
            continue;
        }
        // The bytes are taken one by one.  A byte that is no continuation
        // byte ends the sequence and starts afresh; one that is a
        // continuation byte but makes the value overlong, a surrogate or
        // too large ends it too, after being taken (as the system does, the
        // second byte of a long sequence is taken before the value is
        // judged, the third is judged before it is taken).
        char32_t c = lead & (need == 1 ? 0x1F : need == 2 ? 0x0F : 0x07);
        bool ok = false;
        const auto next = [&](char32_t& value) {
            const unsigned b = p[i] ^ 0x80u;
            if (b >= 0x40)
                return false;
            value = (value << 6) | b;
            return true;
        };
        switch (need) {
        case 3:
            if (!next(c))
                break;
            ++i;
            if (c < 0x10)  // overlong: fits in three bytes
                break;
            [[fallthrough]];
        case 2:
            if (!next(c))
                break;
            if (c >= (0x110000 >> 6))  // above U+10FFFF
                break;
            ++i;
            if (c < 0x20)  // overlong: fits in two bytes
                break;
            if (c >= (0xD800 >> 6) && c <= (0xDFFF >> 6))  // a surrogate
                break;
            [[fallthrough]];
        case 1:
            if (!next(c))
                break;
            ++i;
            ok = c >= 0x80;  // else overlong: fits in one byte
            break;
        }
        if (ok)
            append_utf16(out, c);
        else
            out.push_back(static_cast<wchar_t>(kReplacement));
    }
    return out;
}

std::string portable_wide_to_utf8(const wchar_t* units, std::ptrdiff_t count)
{
    std::string out;
    if (!units || count <= 0)
        return out;
    if (count > INT_MAX)
        count = INT_MAX;
    const auto n = static_cast<std::size_t>(count);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        // One UTF-16 unit per element, whatever the width of wchar_t.
        const auto u = static_cast<std::uint32_t>(units[i]);
        if (u > 0xFFFF) {
            append_utf8(out, kReplacement);
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n &&
                   static_cast<std::uint32_t>(units[i + 1]) >= 0xDC00 &&
                   static_cast<std::uint32_t>(units[i + 1]) <= 0xDFFF) {
            const auto next = static_cast<std::uint32_t>(units[i + 1]);
            append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            append_utf8(out, kReplacement);  // unpaired surrogate
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

#ifdef _WIN32

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

#else

WideString utf8_to_wide(const char* bytes, std::size_t length)
{
    return portable_utf8_to_wide(bytes, length);
}

std::string wide_to_utf8(const wchar_t* units, std::ptrdiff_t count)
{
    return portable_wide_to_utf8(units, count);
}

#endif

}  // namespace luamods::win32
