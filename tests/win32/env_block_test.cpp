// The child environment block: which entries count, their order under the
// ASCII-only case fold, the duplicate rule and the exact layout.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "Win32/env_block.hpp"

using luamods::win32::build_env_block;
using luamods::win32::compare_env_names;
using luamods::win32::portable_utf8_to_wide;
using luamods::win32::portable_wide_to_utf8;
using luamods::win32::utf8_to_wide;
using luamods::win32::wide_to_utf8;
using luamods::win32::WideString;

namespace {

// The block of the given entries, written with '|' for every zero unit.
std::wstring layout(std::vector<std::string_view> entries)
{
    std::wstring block = build_env_block(entries);
    for (wchar_t& c : block)
        if (c == L'\0')
            c = L'|';
    return block;
}

TEST(EnvBlock, SortsByFoldedNameAndEndsWithTwoZeros)
{
    EXPECT_EQ(layout({"b=1", "A=2"}), L"A=2|b=1||");
    EXPECT_EQ(layout({"Z=1", "y=2", "X=3"}), L"X=3|y=2|Z=1||");
    // The exact block: every entry NUL-terminated, then one more NUL.
    const WideString block = build_env_block({"K=v"});
    EXPECT_EQ(block, WideString(L"K=v\0\0", 5));
}

TEST(EnvBlock, LastDuplicateWinsWithItsOwnCase)
{
    EXPECT_EQ(layout({"PATH=x", "Path=y"}), L"Path=y||");
    EXPECT_EQ(layout({"Path=y", "PATH=x"}), L"PATH=x||");
    EXPECT_EQ(layout({"a=1", "B=2", "A=3", "b=4", "a=5"}), L"a=5|b=4||");
    // Duplicates separated by other names in the table still collapse.
    EXPECT_EQ(layout({"X=1", "M=2", "x=3"}), L"M=2|x=3||");
}

TEST(EnvBlock, PunctuationBetweenTheLetterRangesSortsBeforeLetters)
{
    EXPECT_EQ(layout({"AB=2", "A_B=1"}), L"A_B=1|AB=2||");
    EXPECT_EQ(layout({"a[=1", "aa=2", "A@=3"}), L"A@=3|a[=1|aa=2||");
    EXPECT_LT(compare_env_names(L"A_B", L"AB"), 0);
    EXPECT_LT(compare_env_names(L"A", L"AB"), 0);  // a proper prefix is less
    EXPECT_EQ(compare_env_names(L"path", L"PATH"), 0);
    EXPECT_GT(compare_env_names(L"b", L"A"), 0);
}

TEST(EnvBlock, OnlyAsciiLettersFold)
{
    // U+00C4 and U+00E4 differ only in case, but are different names.
    EXPECT_EQ(layout({"\xC3\xA4=1", "\xC3\x84=2"}), L"\u00C4=2|\u00E4=1||");
    EXPECT_NE(compare_env_names(L"\u00C4", L"\u00E4"), 0);
    // Units compare as unsigned numbers: a surrogate unit sorts after ASCII.
    EXPECT_LT(compare_env_names(L"z", L"\U0001F600"), 0);
}

TEST(EnvBlock, NameIsTextBeforeTheFirstEqualsSign)
{
    EXPECT_EQ(layout({"B=x=y", "=C:=C:\\dir"}), L"=C:=C:\\dir|B=x=y||");
    EXPECT_EQ(layout({"A==", "A=1"}), L"A=1||");
}

TEST(EnvBlock, SkipsUnusableEntries)
{
    EXPECT_EQ(layout({"", "NOEQUALS", "OK=1"}), L"OK=1||");
    EXPECT_EQ(build_env_block({}), WideString());
    EXPECT_EQ(build_env_block({"", "plain"}), WideString());
    // A zero byte would split one entry into two inside the block.
    using namespace std::string_view_literals;
    EXPECT_EQ(layout({"A=x\0PATH=evil"sv, "B=1"}), L"B=1||");
}

TEST(EnvBlock, IllFormedUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(layout({"V=\xFF"}), L"V=\uFFFD||");
}

TEST(EnvBlock, ManyEntriesKeepTableOrderAmongEqualNames)
{
    std::vector<std::string> texts;
    for (int i = 0; i < 2000; ++i)
        texts.push_back((i % 2 ? "n" : "N") + std::to_string(i % 100) + "=" + std::to_string(i));
    std::vector<std::string_view> entries(texts.begin(), texts.end());
    const WideString block = build_env_block(entries);
    // 100 distinct names; each keeps the value of its last occurrence.
    std::size_t count = 0;
    for (std::size_t pos = 0; block[pos] != L'\0'; pos = block.find(L'\0', pos) + 1) {
        const std::wstring entry = block.substr(pos, block.find(L'\0', pos) - pos);
        const int k = std::stoi(entry.substr(1, entry.find(L'=') - 1));
        const int value = std::stoi(entry.substr(entry.find(L'=') + 1));
        EXPECT_EQ(value, 1900 + k);
        EXPECT_EQ(entry[0], k % 2 ? L'n' : L'N');
        ++count;
    }
    EXPECT_EQ(count, 100u);
}

// UTF-16 units written portably (wchar_t is 32 bits outside Windows).
WideString units(std::u16string_view u) { return WideString(u.begin(), u.end()); }

struct Utf8Case {
    std::string_view bytes;
    std::u16string_view wide;
};

// The system's replacement rules, as measured under Wine: a sequence that
// breaks off becomes one U+FFFD for what it took, and a sequence that the
// input ends inside becomes one U+FFFD for all that is left.  Under Wine this
// holds the system's conversion to the table, natively the portable one.
TEST(Text, Utf8ToWide)
{
    using namespace std::string_view_literals;
    const Utf8Case cases[] = {
        {""sv, u""},
        {"plain"sv, u"plain"},
        {"a\0b"sv, u"a\0b"sv},  // a zero byte is converted like any other
        {"\xC3\xA9"sv, u"\u00E9"},
        {"\xEF\xBF\xBD"sv, u"\uFFFD"},
        {"\xF0\x9F\x98\x80"sv, u"\U0001F600"},
        {"\xF4\x8F\xBF\xBF"sv, u"\U0010FFFF"},
        {"\xFF"sv, u"\uFFFD"},
        {"\x80\x80"sv, u"\uFFFD\uFFFD"},
        {"\xC0\x80"sv, u"\uFFFD\uFFFD"},                // overlong zero
        {"\xE0\x80\xAF"sv, u"\uFFFD\uFFFD"},            // overlong slash: E0 80, then AF
        {"\xED\xA0\x80"sv, u"\uFFFD\uFFFD"},            // an encoded surrogate
        {"\xF4\x90\x80\x80"sv, u"\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF: F4 90, 80, 80
        {"\xE2\x82"sv, u"\uFFFD"},                      // cut short by the end
        {"\xE2\x41"sv, u"\uFFFD"},                      // E2 and the letter A: the letter goes too
        {"\xE2\x41\x42"sv, u"\uFFFDAB"},                // E2 cut short by a letter
        {"\xE2\x82\x41"sv, u"\uFFFDA"},
        {"\xF0\x9F\x98"sv, u"\uFFFD"},
        {"\xF0\x9F\x98\xC3\xA9"sv, u"\uFFFD\u00E9"},
    };
    for (const Utf8Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        EXPECT_EQ(utf8_to_wide(c.bytes.data(), c.bytes.size()), units(c.wide));
        EXPECT_EQ(portable_utf8_to_wide(c.bytes.data(), c.bytes.size()), units(c.wide));
    }
}

TEST(Text, WideToUtf8)
{
    using namespace std::string_view_literals;
    const struct {
        std::u16string_view wide;
        std::string_view bytes;
    } cases[] = {
        {u"", ""sv},
        {u"a\0b"sv, "a\0b"sv},
        {u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"sv},
        {u"\U0001F600", "\xF0\x9F\x98\x80"sv},
        {u"\xD800", "\xEF\xBF\xBD"sv},                    // unpaired high surrogate
        {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"sv},  // in the wrong order
        {u"\xD83Dx", "\xEF\xBF\xBDx"sv},
    };
    for (const auto& c : cases) {
        const WideString w = units(c.wide);
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        EXPECT_EQ(wide_to_utf8(w.data(), static_cast<std::ptrdiff_t>(w.size())), c.bytes);
        EXPECT_EQ(portable_wide_to_utf8(w.data(), static_cast<std::ptrdiff_t>(w.size())), c.bytes);
    }
}

#ifdef _WIN32
// The portable conversions, which the native build and the fuzzers use,
// against the system's on random text made of the pieces that matter: ASCII,
// lead and continuation bytes of every kind, whole characters, surrogates.
TEST(Text, PortableConversionsMatchTheSystem)
{
    std::mt19937 random(12);
    const unsigned char pieces[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                    0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF,
                                    0xF0, 0xF1, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF};
    const wchar_t wide_pieces[] = {0x0041, 0x00E9, 0x0800, 0xD7FF, 0xD800, 0xDBFF,
                                   0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF, 0x0000};
    int mismatches = 0;
    for (int round = 0; round < 20000 && mismatches < 5; ++round) {
        std::string bytes(random() % 9, '\0');
        for (char& b : bytes)
            b = static_cast<char>(pieces[random() % sizeof pieces]);
        if (utf8_to_wide(bytes.data(), bytes.size()) !=
            portable_utf8_to_wide(bytes.data(), bytes.size())) {
            ++mismatches;
            ADD_FAILURE() << "UTF-8 " << testing::PrintToString(bytes);
        }
        WideString wide(random() % 6, L'\0');
        for (wchar_t& u : wide)
            u = wide_pieces[random() % (sizeof wide_pieces / sizeof wide_pieces[0])];
        const auto n = static_cast<std::ptrdiff_t>(wide.size());
        if (wide_to_utf8(wide.data(), n) != portable_wide_to_utf8(wide.data(), n)) {
            ++mismatches;
            ADD_FAILURE() << "UTF-16 of " << wide.size() << " units";
        }
    }
}
#endif

}  // namespace
