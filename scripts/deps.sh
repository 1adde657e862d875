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
  luajit libluajit-5.1-dev libconcurrentqueue-dev libsodium-dev libssl-dev luarocks
  googletest libgtest-dev python3 python3-cryptography
  mingw-w64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 xvfb
  autoconf automake libtool dpkg-dev
  clang libclang-rt-14-dev clang-format
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

# Source packages (apt-get source) need deb-src entries.  They are derived
# from this machine's own deb entries for its release, so no archive is named
# here: a deb822 stanza (*.sources) gets deb-src added to its Types line, a
# one-line entry (sources.list, *.list) gets a deb-src twin on the next line.
# Entries whose archive already has deb-src for the release are left alone,
# and what is about to change is logged first.
#   add_deb_src [apt dir] [os-release file]   (defaults: /etc/apt, /etc/os-release)
# Sets DEB_SRC_CHANGED=1 when it changed a file.  A test runs it on a copy.
DEB_SRC_AWK='
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function has_word(list, w,   n, a, i) {
  n = split(list, a, /[ \t]+/)
  for (i = 1; i <= n; i++) if (a[i] == w) return 1
  return 0
}
function norm(uri) { sub(/\/+$/, "", uri); return uri }
# A one-line entry: sets L_TYPE, L_URI, L_SUITE, L_COMPONENTS; false for
# anything else.
function parse_line(line,   rest, n, a, i) {
  rest = line
  if (rest ~ /^[ \t]*#/) return 0
  sub(/^[ \t]+/, "", rest)
  if (rest !~ /^deb(-src)?[ \t]/) return 0
  L_TYPE = rest; sub(/[ \t].*/, "", L_TYPE)
  sub(/^deb(-src)?[ \t]+/, "", rest)
  if (rest ~ /^\[/) { sub(/^\[[^]]*\][ \t]*/, "", rest) }
  n = split(rest, a, /[ \t]+/)
  if (n < 2) return 0
  L_URI = norm(a[1]); L_SUITE = a[2]; L_COMPONENTS = ""
  for (i = 3; i <= n; i++) if (a[i] !~ /^#/) L_COMPONENTS = L_COMPONENTS " " a[i]; else break
  return 1
}
# The end of a deb822 stanza held in S[1..NS] with fields F[...].
function end_stanza(   types, n, u, i, j, sx, all_missing) {
  if (NS == 0) return
  types = F["types"]
  if (mode == "pairs") {
    if (has_word(types, "deb-src") && tolower(trim(F["enabled"])) != "no") {
      n = split(F["uris"], u, /[ \t]+/)
      split(F["suites"], sx, /[ \t]+/)
      for (i = 1; i <= n; i++) for (j in sx) if (u[i] != "" && sx[j] != "") print norm(u[i]) " " sx[j]
    }
  } else {
    stanza++
    if (has_word(types, "deb") && !has_word(types, "deb-src") &&
        tolower(trim(F["enabled"])) != "no" && has_word(F["suites"], codename)) {
      n = split(F["uris"], u, /[ \t]+/); all_missing = 1
      for (i = 1; i <= n; i++) if (u[i] != "" && ((norm(u[i]) " " codename) in have)) all_missing = 0
      if (all_missing) {
        sub(/[ \t]+$/, "", S[TL]); S[TL] = S[TL] " deb-src"
        print FILENAME ": stanza " stanza " (Suites: " trim(F["suites"]) "; Components: " \
          trim(F["components"]) "): deb-src goes into its Types" > notes
      }
    }
    for (i = 1; i <= NS; i++) print S[i]
  }
  NS = 0; split("", F); key = ""
}
BEGIN {
  if (mode == "edit") while ((getline p < pairs) > 0) have[p] = 1
}
FNR == 1 { end_stanza(); deb822 = (FILENAME ~ /\.sources$/); stanza = 0 }
deb822 {
  if ($0 ~ /^[ \t]*$/) { end_stanza(); if (mode == "edit") print; next }
  S[++NS] = $0
  if ($0 ~ /^#/) next
  if ($0 ~ /^[ \t]/) { if (key != "") F[key] = F[key] " " trim($0); next }
  key = tolower($0); sub(/:.*/, "", key)
  v = $0; sub(/^[^:]*:/, "", v); F[key] = trim(v)
  if (key == "types") TL = NS
  next
}
{
  ok = parse_line($0)
  if (mode == "pairs") { if (ok && L_TYPE == "deb-src") print L_URI " " L_SUITE; next }
  print
  if (ok && L_TYPE == "deb" && L_SUITE == codename && !((L_URI " " L_SUITE) in have)) {
    have[L_URI " " L_SUITE] = 1
    twin = $0; sub(/deb/, "deb-src", twin); print twin
    print FILENAME ":" FNR ": a deb-src twin of this entry goes on the next line (same archive " \
      "and options, suite " codename ", components" L_COMPONENTS ")" > notes
  }
}
END { end_stanza() }
'

add_deb_src() {
  local apt=${1:-/etc/apt} os_release=${2:-/etc/os-release} codename work f
  local files=()
  DEB_SRC_CHANGED=0
  codename=$(. "$os_release" && echo "${VERSION_CODENAME:-}")
  if [ -z "$codename" ]; then
    log "no VERSION_CODENAME in $os_release: deb-src entries left as they are"
    return 1
  fi
  for f in "$apt/sources.list" "$apt"/sources.list.d/*.list "$apt"/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || { log "no apt sources in $apt"; return 1; }
  work=$(mktemp -d)
  awk -v mode=pairs "$DEB_SRC_AWK" "${files[@]}" | sort -u >"$work/pairs"
  for f in "${files[@]}"; do
    : >"$work/notes"
    awk -v mode=edit -v codename="$codename" -v pairs="$work/pairs" -v notes="$work/notes" \
      "$DEB_SRC_AWK" "$f" >"$work/new" || { rm -rf "$work"; return 1; }
    if [ -s "$work/notes" ]; then
      while IFS= read -r line; do log "enabling source packages: $line"; done <"$work/notes"
      sudo_ tee "$f" <"$work/new" >/dev/null
      DEB_SRC_CHANGED=1
      # What this file now provides counts for the files after it.
      awk -v mode=pairs "$DEB_SRC_AWK" "$f" >>"$work/pairs"
    fi
  done
  rm -rf "$work"
}

enable_deb_src() {
  add_deb_src || return 0
  if [ "$DEB_SRC_CHANGED" = 1 ]; then sudo_ apt-get update -qq; fi
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

# Cross-builds Debian source package $1 once, into $CACHE/win/<name>-<version>
# (made when the file $2 is missing there): copies the unpacked source into a
# fresh work folder and runs $4 with the work and output folders as
# arguments, in a subshell, its output into the work folder's build.log (the
# log's tail on failure).  $3 names the library in the log.  Prints the
# output folder.
cross_build() {
  local name=$1 marker=$2 what=$3 steps=$4 src version out
  src=$(fetch_source "$name")
  version=$(basename "$src")
  out="$CACHE/win/$version"
  if [ ! -f "$out/$marker" ]; then
    log "building Windows $what ($version)"
    local work="$CACHE/build/$version"
    rm -rf "$work"; mkdir -p "$work"; cp -a "$src/unpacked/." "$work/"
    ( "$steps" "$work" "$out" ) >"$work/build.log" 2>&1 \
      || { tail -n 30 "$work/build.log" >&2; return 1; }
    rm -rf "$work"
  fi
  echo "$out"
}

luajit_steps() {
  local work=$1 out=$2
  make -C "$work/src" -j2 HOST_CC=gcc CROSS=x86_64-w64-mingw32- TARGET_SYS=Windows BUILDMODE=dynamic &&
    mkdir -p "$out/bin" "$out/lib" "$out/include/luajit-2.1" &&
    cp "$work/src/lua51.dll" "$work/src/luajit.exe" "$out/bin/" &&
    cp "$work/src/libluajit-5.1.dll.a" "$out/lib/" &&
    cp "$work/src"/{lua.h,lualib.h,lauxlib.h,luaconf.h,lua.hpp,luajit.h} "$out/include/luajit-2.1/" &&
    mkdir -p "$out/bin/lua/jit" && cp "$work/src/jit/"*.lua "$out/bin/lua/jit/"
}

build_win_luajit() { cross_build luajit bin/luajit.exe LuaJIT luajit_steps; }

sodium_steps() {
  local work=$1 out=$2
  cd "$work" && DO_NOT_UPDATE_CONFIG_SCRIPTS=1 ./autogen.sh -s &&
    ./configure --host=x86_64-w64-mingw32 --disable-shared --enable-static --prefix="$out" &&
    make -j2 && make install
}

build_win_sodium() { cross_build libsodium lib/libsodium.a libsodium sodium_steps; }

# Windows libcrypto (static), for the crypto module's bulk work.  Only the
# library is built, with what the module does not use switched off: no
# sockets (no ws2_32 import), no engines or loadable modules (no DLL loading),
# no configuration file at start-up.  The assembly stays on: it is the reason
# to use OpenSSL at all.  About 10 minutes on two cores, once.
OPENSSL_WIN_OPTIONS=(
  no-shared no-module no-dso no-engine no-tests no-legacy no-sock no-dgram
  no-autoload-config no-ui-console no-async no-ssl no-tls no-dtls no-srtp no-psk
  no-nextprotoneg no-ct no-ocsp no-cms no-cmp no-ts no-rfc3779 no-comp
  no-aria no-bf no-blake2 no-camellia no-cast no-des no-idea no-md4 no-mdc2
  no-rc2 no-rc4 no-rmd160 no-seed no-sm2 no-sm3 no-sm4 no-whirlpool no-gost
  no-srp no-scrypt no-siphash no-siv no-ocb no-cmac no-dh no-dsa no-ec no-ec2m
)

openssl_steps() {
  local work=$1 out=$2
  cd "$work" &&
    ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$out" \
      "${OPENSSL_WIN_OPTIONS[@]}" &&
    make -j2 build_generated && make -j2 libcrypto.a &&
    mkdir -p "$out/lib" "$out/include/openssl" &&
    cp "$work/include/openssl/"*.h "$out/include/openssl/" &&
    cp "$work/libcrypto.a" "$out/lib/"
}

build_win_openssl() { cross_build openssl lib/libcrypto.a libcrypto openssl_steps; }

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
  # One set-up at a time on a machine: checkouts side by side share the cache
  # (the lock goes with the shell that holds it, on every path).
  local lock
  exec {lock}>"$CACHE/setup.lock"
  flock "$lock"
  install_packages
  enable_deb_src
  WIN_LUAJIT=$(build_win_luajit)
  WIN_SODIUM=$(build_win_sodium)
  WIN_OPENSSL=$(build_win_openssl)
  export WIN_LUAJIT WIN_SODIUM WIN_OPENSSL
  make_wine_prefix
  exec {lock}>&-
}
