#!/bin/sh
# `cmake --install` of this build into a prefix under the build folder: the
# layout docs/install.md describes, then plain luajit (not the test host)
# loads the modules from <prefix>/lib/lua/5.1 (and the Lua modules from
# <prefix>/share/lua/5.1) with the snippets it shows.
# Then the same with `cmake --install --strip`: each library stripped, its
# debug information in <library>.debug beside it and found through the debug
# link; the plain install keeps the symbols.
#   install_prefix.sh <cmake> <source dir> <build dir> <module>...
set -eu
cmake=$1 src=$2 build=$3
shift 3
fail() { echo "$*"; exit 1; }

for kind in plain strip; do
  prefix="$build/install-test-$kind"
  rm -rf "$prefix"
  if [ $kind = strip ]; then
    "$cmake" --install "$build" --prefix "$prefix" --strip >/dev/null
  else
    "$cmake" --install "$build" --prefix "$prefix" >/dev/null
  fi
  for f in lib/lua/5.1/Quandel.so share/lua/5.1/memory.lua share/lua/5.1/memory/fast.lua \
           share/lua/5.1/memory/queue.lua share/lua/5.1/memory/queue/fast.lua share/doc/luamods/docs/install.md \
           share/doc/luamods/types/memory.lua share/doc/luamods/licenses/LuaJIT.txt; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
  done
  for lib in "$prefix"/lib/lua/5.1/*.so; do
    name=${lib##*/}
    sections=$(readelf -S --wide "$lib")
    if [ $kind = plain ]; then
      echo "$sections" | grep -q ' \.debug_info ' || fail "$name: the plain install lost the symbols"
      [ ! -e "$lib.debug" ] || fail "$name: a debug file without --strip"
      continue
    fi
    ! echo "$sections" | grep -q ' \.debug_\| \.symtab ' || fail "$name: not stripped"
    objdump -h "$lib.debug" | grep -q ' \.debug_info ' || fail "$name.debug: no debug information"
    # objdump follows the link only when the checksum of the file matches.
    (cd "${lib%/*}" && objdump -Wk "$name" 2>&1) | grep -q "Found separate debug info file: $name.debug" \
      || fail "$name: the debug link does not lead to $name.debug"
    echo "$name: $(wc -c <"$lib") bytes stripped, $(wc -c <"$build/bin/$name") built"
  done
  export LUA_CPATH="$prefix/lib/lua/5.1/?.so" LUA_PATH="$prefix/share/lua/5.1/?.lua;;"
  for module in "$@"; do
    snippet="$src/examples/docs/load_$(echo "$module" | tr . _).lua"
    echo "== ($kind) luajit -e \"\$(cat ${snippet#$src/})\""
    luajit -e "$(cat "$snippet")"
  done
done
