# Shared by scripts/demo and scripts/test: installs what a fresh Debian 12
# machine lacks and builds the Windows dependencies once into a cache outside
# the git tree, keyed by version.  Every step is skipped when already done.
# (The scripts that source this file run with set -euo pipefail.)

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${LUAMODS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/luamods}
export WINEPREFIX=${WINEPREFIX:-$CACHE/wineprefix}
export WINEDEBUG=-all
mkdir -p "$CACHE"

APT_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  luajit libluajit-5.1-dev libconcurrentqueue-dev libsodium-dev luarocks
  googletest libgtest-dev python3 python3-cryptography
  mingw-w64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 xvfb
  autoconf automake libtool dpkg-dev
  clang libclang-rt-14-dev
)

# Debian keeps wineserver off PATH.
WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
export WINESERVER

log() { printf '[deps] %s\n' "$*" >&2; }

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

install_packages() {
  local missing=()
  for p in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    sudo_ apt-get update -qq
    sudo_ env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

enable_deb_src() {
  local f=/etc/apt/sources.list.d/debian.sources
  if [ -f "$f" ] && ! grep -q '^Types:.*deb-src' "$f"; then
    log "enabling deb-src"
    sudo_ sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
    sudo_ apt-get update -qq
  elif [ ! -f "$f" ] && ! grep -rqs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    log "enabling deb-src"
    echo 'deb-src http://deb.debian.org/debian bookworm main' | sudo_ tee /etc/apt/sources.list.d/luamods-src.list >/dev/null
    sudo_ apt-get update -qq
  fi
}

# Fetches a Debian source package into $CACHE/src/<name>-<version> once.
fetch_source() {
  local name=$1 version dir
  version=$(apt-cache showsrc "$name" | awk '/^Version:/{print $2; exit}')
  dir="$CACHE/src/$name-$version"
  if [ ! -d "$dir/unpacked" ]; then
    log "fetching source of $name $version"
    rm -rf "$dir"; mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$name=$version" >/dev/null 2>&1)
    local sub; sub=$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1)
    mv "$sub" "$dir/unpacked"
  fi
  echo "$dir"
}

build_win_luajit() {
  local src version out
  src=$(fetch_source luajit)
  version=$(basename "$src")
  out="$CACHE/win/$version"
  if [ ! -f "$out/bin/luajit.exe" ]; then
    log "building Windows LuaJIT ($version)"
    local work="$CACHE/build/$version"
    rm -rf "$work"; mkdir -p "$work"; cp -a "$src/unpacked/." "$work/"
    make -C "$work/src" -j2 HOST_CC=gcc CROSS=x86_64-w64-mingw32- TARGET_SYS=Windows BUILDMODE=dynamic >"$work/build.log" 2>&1 \
      || { tail -n 30 "$work/build.log" >&2; return 1; }
    mkdir -p "$out/bin" "$out/lib" "$out/include/luajit-2.1"
    cp "$work/src/lua51.dll" "$work/src/luajit.exe" "$out/bin/"
    cp "$work/src/libluajit-5.1.dll.a" "$out/lib/"
    cp "$work/src"/{lua.h,lualib.h,lauxlib.h,luaconf.h,lua.hpp,luajit.h} "$out/include/luajit-2.1/"
    mkdir -p "$out/bin/lua/jit"; cp "$work/src/jit/"*.lua "$out/bin/lua/jit/"
    rm -rf "$work"
  fi
  echo "$out"
}

build_win_sodium() {
  local src version out
  src=$(fetch_source libsodium)
  version=$(basename "$src")
  out="$CACHE/win/$version"
  if [ ! -f "$out/lib/libsodium.a" ]; then
    log "building Windows libsodium ($version)"
    local work="$CACHE/build/$version"
    rm -rf "$work"; mkdir -p "$work"; cp -a "$src/unpacked/." "$work/"
    ( cd "$work" && DO_NOT_UPDATE_CONFIG_SCRIPTS=1 ./autogen.sh -s && \
      ./configure --host=x86_64-w64-mingw32 --disable-shared --enable-static --prefix="$out" && \
      make -j2 && make install ) >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log" >&2; return 1; }
    rm -rf "$work"
  fi
  echo "$out"
}

make_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 </dev/null || true

  fi
}

warm_wine() {
  "$WINESERVER" -p >/dev/null 2>&1 || true
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

setup_all() {
  install_packages
  enable_deb_src
  WIN_LUAJIT=$(build_win_luajit)
  WIN_SODIUM=$(build_win_sodium)
  export WIN_LUAJIT WIN_SODIUM
  make_wine_prefix
}
