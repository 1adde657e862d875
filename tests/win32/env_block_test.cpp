// The child environment block: which entries count, their order under the
// ASCII-only case fold, the duplicate rule and the exact layout.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "Win32/env_block.hpp"

using luamods::win32::build_env_block;
using luamods::win32::compare_env_names;
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

}  // namespace
