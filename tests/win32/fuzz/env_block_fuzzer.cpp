// The child environment block against a model of its rules: of every name
// (A-Z folded to a-z, nothing else) the entry that came last wins, the
// winners in order of their folded names, each followed by a zero unit and
// the block by one more; empty entries, entries without '=' and entries
// holding a zero byte count for nothing, and with nothing left the block is
// empty.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Win32/env_block.hpp"

using namespace luamods::win32;

namespace {

WideString folded(std::wstring_view name)
{
    WideString out(name);
    for (wchar_t& c : out)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c + 0x20);
    return out;
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<std::string> storage;
    while (input.remaining_bytes() > 0 && storage.size() < 64)
        storage.push_back(input.ConsumeRandomLengthString(64));
    const std::vector<std::string_view> entries(storage.begin(), storage.end());

    const WideString block = build_env_block(entries);

    // The model: folded name -> the last usable entry of that name.  The
    // folded names order as the block's comparison does, since the units are
    // UTF-16 values and so compare as unsigned numbers here too.
    std::map<WideString, WideString> last;
    for (std::string_view entry : entries) {
        if (entry.empty() || entry.find('=') == std::string_view::npos ||
            entry.find('\0') != std::string_view::npos)
            continue;
        const WideString wide = utf8_to_wide(entry.data(), entry.size());
        check(!wide.empty());
        last[folded(env_entry_name(wide))] = wide;
    }
    WideString expected;
    for (const auto& [name, entry] : last) {
        expected += entry;
        expected.push_back(L'\0');
    }
    if (!expected.empty())
        expected.push_back(L'\0');
    check(block == expected);

    // The comparison is a total order consistent with the folding.
    if (entries.size() >= 2) {
        const WideString a = utf8_to_wide(entries[0].data(), entries[0].size());
        const WideString b = utf8_to_wide(entries[1].data(), entries[1].size());
        const int ab = compare_env_names(a, b);
        check(ab == -compare_env_names(b, a));
        check((ab == 0) == (folded(a) == folded(b)));
        check((ab < 0) == (folded(a) < folded(b)));
    }
    return 0;
}
