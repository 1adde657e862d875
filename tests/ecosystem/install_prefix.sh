#!/bin/sh
# `cmake --install` of this build into a prefix under the build folder: the
# layout docs/install.md describes, then plain luajit (not the test host)
# loads the modules from <prefix>/lib/lua/5.1 (and memory.fast from
# <prefix>/share/lua/5.1) with the snippets it shows.
#   install_prefix.sh <cmake> <source dir> <build dir> <module>...
set -eu
cmake=$1 src=$2 build=$3
shift 3
prefix="$build/install-test"
rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for f in lib/lua/5.1/Quandel.so share/lua/5.1/memory/fast.lua share/doc/luamods/docs/install.md \
         share/doc/luamods/types/memory.lua share/doc/luamods/licenses/LuaJIT.txt; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
export LUA_CPATH="$prefix/lib/lua/5.1/?.so" LUA_PATH="$prefix/share/lua/5.1/?.lua;;"
for module in "$@"; do
  snippet="$src/examples/docs/load_$(echo "$module" | tr . _).lua"
  echo "== luajit -e \"\$(cat ${snippet#$src/})\""
  luajit -e "$(cat "$snippet")"
done
