#!/bin/sh
# `luarocks make` of the rockspec into ./rocks of a workspace under the build
# folder, then plain luajit (not the test host) loads the installed modules
# with the snippets that docs/install.md shows.  Also: `luarocks doc` lists
# the reference pages, and the sample .luarc.json of docs/install.md, written
# into the workspace, names the installed definitions, which the definition
# check then reads from there.  No network: the rockspec has no dependencies
# and builds from the local sources.
#   luarocks_make.sh <source dir> <work dir> <module>...
set -eu
src=$1 work=$2
shift 2
rm -rf "$work"
mkdir -p "$work/src"
# luarocks' cmake back end builds in ./build.luarocks: work on a copy.
for f in CMakeLists.txt cmake modules lua docs examples packaging types; do
  if [ -e "$src/$f" ]; then cp -a "$src/$f" "$work/src/"; fi
done
# The one rockspec, named after the project version (cmake/Version.cmake checks it).
rockspec=$(cd "$src" && ls luamods-*.rockspec)
cp "$src/$rockspec" "$work/src/"
cd "$work/src"
export CMAKE_BUILD_PARALLEL_LEVEL=2
if ! luarocks --lua-version=5.1 --tree="$work/rocks" make "$rockspec" >"$work/make.log" 2>&1; then
  tail -n 40 "$work/make.log"
  echo "luarocks make failed"
  exit 1
fi
ls "$work/rocks/lib/lua/5.1"
# Release binaries: built optimized without assertions, installed stripped
# with the symbols in a debug file beside each library.
grep -q '^CMAKE_BUILD_TYPE:[A-Z]*=Release$' build.luarocks/CMakeCache.txt \
  || { echo "luarocks did not make a Release build"; exit 1; }
for lib in "$work/rocks/lib/lua/5.1"/*.so; do
  name=${lib##*/}
  if readelf -S --wide "$lib" | grep -q ' \.debug_\| \.symtab '; then
    echo "$name: not stripped"; exit 1
  fi
  (cd "${lib%/*}" && objdump -Wk "$name" 2>&1) | grep -q "Found separate debug info file: $name.debug" \
    || { echo "$name: no debug file beside it"; exit 1; }
done
eval "$(luarocks --lua-version=5.1 --tree="$work/rocks" path)"
for module in "$@"; do
  snippet="$src/examples/docs/load_$(echo "$module" | tr . _).lua"
  echo "== luajit -e \"\$(cat ${snippet#$src/})\""
  luajit -e "$(cat "$snippet")"
done

echo "== luarocks doc --list luamods"
luarocks --lua-version=5.1 --tree="$work/rocks" doc --list --porcelain luamods >"$work/doc.list"
for page in "$src"/docs/*.md; do
  grep -q "/docs/$(basename "$page")\$" "$work/doc.list" || { echo "not listed: ${page#$src/}"; exit 1; }
done
echo "$(grep -c '' "$work/doc.list") files, every page of docs/"

echo "== the sample .luarc.json, from $work"
awk '/^<!-- sample: \.luarc\.json -->$/ { s = 1; next }
     s && /^```json$/ { j = 1; next }
     j && /^```$/ { exit }
     j { print }' "$src/docs/install.md" >"$work/.luarc.json"
[ -s "$work/.luarc.json" ] || { echo "docs/install.md: no sample .luarc.json"; exit 1; }
LUA_PATH="$src/tests/lua/?.lua;;" LUA_CPATH="" LUAMODS_BIN="$work/rocks/lib/lua/5.1" LUAMODS_SUFFIX=.so \
  luajit "$src/tests/ecosystem/test_definitions.lua" "$src" --luarc "$work" "$@"
