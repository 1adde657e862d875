#include "Win32/env_block.hpp"

#include <algorithm>

namespace luamods::win32 {

int compare_env_names(std::wstring_view a, std::wstring_view b) noexcept
{
    const auto fold = [](wchar_t c) -> unsigned {
        const auto u = static_cast<unsigned>(static_cast<char16_t>(c));
        return (u >= 0x41 && u <= 0x5A) ? u + 0x20 : u;
    };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned x = fold(a[i]);
        const unsigned y = fold(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::wstring_view env_entry_name(std::wstring_view entry) noexcept
{
    const std::size_t eq = entry.find(L'=');
    return eq == std::wstring_view::npos ? entry : entry.substr(0, eq);
}

WideString build_env_block(const std::vector<std::string_view>& entries)
{
    std::vector<WideString> list;
    list.reserve(entries.size());
    for (std::string_view entry : entries) {
        if (entry.empty() || entry.find('=') == std::string_view::npos)
            continue;
        // A zero byte would end the entry early inside the block and smuggle
        // the rest in as an entry of its own, past the sorting and the
        // duplicate rule: such an entry is not usable.
        if (entry.find('\0') != std::string_view::npos)
            continue;
        list.push_back(utf8_to_wide(entry.data(), entry.size()));
    }
    WideString block;
    if (list.empty())
        return block;

    // Stable: equally named entries keep their table order, so the last of a
    // run is the one that came last in the table.
    std::stable_sort(list.begin(), list.end(), [](const WideString& a, const WideString& b) {
        return compare_env_names(env_entry_name(a), env_entry_name(b)) < 0;
    });

    std::size_t total = 1;
    for (const WideString& entry : list)
        total += entry.size() + 1;
    block.reserve(total);
    for (std::size_t k = 0; k < list.size(); ++k) {
        if (k + 1 < list.size() &&
            compare_env_names(env_entry_name(list[k]), env_entry_name(list[k + 1])) == 0)
            continue;
        block.append(list[k]);
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace luamods::win32
