// The environment block of a child started with its own environment: every
// usable NAME=VALUE entry, sorted by name with an ASCII-only case fold, the
// last of equally named entries winning with its own letter case, each entry
// followed by a zero unit and the block by one more.
#pragma once

#include <string_view>
#include <vector>

#include "Win32/text.hpp"

namespace luamods::win32 {

// Orders two names: units compared as unsigned 16-bit numbers after mapping
// A-Z to a-z (and nothing else).  Negative, zero or positive.
int compare_env_names(std::wstring_view a, std::wstring_view b) noexcept;

// The name of an entry: the units before its first '='.
std::wstring_view env_entry_name(std::wstring_view entry) noexcept;

// Builds the block from UTF-8 entries in table order.  Empty entries,
// entries without '=' and entries holding a zero byte are skipped; with
// nothing left the block is empty, which means "inherit the caller's
// environment".  (spawn refuses an entry with a zero byte before it gets
// here, so that a refused entry can never leave the block empty.)
WideString build_env_block(const std::vector<std::string_view>& entries);

}  // namespace luamods::win32
