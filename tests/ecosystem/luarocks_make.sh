#!/bin/sh
# `luarocks make` of the rockspec into a tree under the build folder, then
# plain luajit (not the test host) loads the installed modules with the
# snippets that docs/install.md shows.  No network: the rockspec has no
# dependencies and builds from the local sources.
#   luarocks_make.sh <source dir> <work dir> <module>...
set -eu
src=$1 work=$2
shift 2
rm -rf "$work"
mkdir -p "$work/src"
# luarocks' cmake back end builds in ./build.luarocks: work on a copy.
for f in CMakeLists.txt cmake modules docs examples packaging types luamods-1.0.1-1.rockspec; do
  if [ -e "$src/$f" ]; then cp -a "$src/$f" "$work/src/"; fi
done
cd "$work/src"
export CMAKE_BUILD_PARALLEL_LEVEL=2
if ! luarocks --lua-version=5.1 --tree="$work/tree" make luamods-1.0.1-1.rockspec >"$work/make.log" 2>&1; then
  tail -n 40 "$work/make.log"
  echo "luarocks make failed"
  exit 1
fi
ls "$work/tree/lib/lua/5.1"
# Release binaries: built optimized without assertions, installed stripped
# with the symbols in a debug file beside each library.
grep -q '^CMAKE_BUILD_TYPE:[A-Z]*=Release$' build.luarocks/CMakeCache.txt \
  || { echo "luarocks did not make a Release build"; exit 1; }
for lib in "$work/tree/lib/lua/5.1"/*.so; do
  name=${lib##*/}
  if readelf -S --wide "$lib" | grep -q ' \.debug_\| \.symtab '; then
    echo "$name: not stripped"; exit 1
  fi
  (cd "${lib%/*}" && objdump -Wk "$name" 2>&1) | grep -q "Found separate debug info file: $name.debug" \
    || { echo "$name: no debug file beside it"; exit 1; }
done
eval "$(luarocks --lua-version=5.1 --tree="$work/tree" path)"
for module in "$@"; do
  snippet="$src/examples/docs/load_$(echo "$module" | tr . _).lua"
  echo "== luajit -e \"\$(cat ${snippet#$src/})\""
  luajit -e "$(cat "$snippet")"
done
