#!/bin/bash
# add_deb_src of scripts/deps.sh on a made-up apt configuration in a temp
# folder (never the machine's): which entries get deb-src, which are left
# alone, the log written before the change, and a second run changing nothing.
#   deb_src.sh <source dir>
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LUAMODS_CACHE=$work/cache
# shellcheck source=../../scripts/deps.sh
source "$src/scripts/deps.sh"
# Every write goes through sudo_: it notes a write that no log line preceded
# (add_deb_src has a $work of its own).
test_log=$work/log unlogged=$work/unlogged
sudo_() { grep -q "enabling source packages: $2" "$test_log" || echo "$2" >>"$unlogged"; "$@"; }

apt=$work/apt
mkdir -p "$apt/sources.list.d"
printf 'NAME="Debian GNU/Linux"\nVERSION_CODENAME=bookworm\n' >"$work/os-release"

# One-line entries: a release entry with options (gets a twin), one for
# another suite, one whose archive already has deb-src, a commented one.
cat >"$apt/sources.list" <<'EOF'
# the release
deb [signed-by=/usr/share/keyrings/a.gpg] http://mirror-a.invalid/debian bookworm main contrib
deb http://mirror-a.invalid/debian/ bookworm-updates main
deb http://mirror-e.invalid/debian bookworm main
deb-src http://mirror-e.invalid/debian/ bookworm main
#deb http://mirror-f.invalid/debian bookworm main
EOF
# deb822: the release (gets deb-src), security only, a third-party suite, a
# disabled stanza, and one that has deb-src already.
cat >"$apt/sources.list.d/base.sources" <<'EOF'
Types: deb
# a comment inside the stanza
URIs: http://mirror-b.invalid/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://mirror-b.invalid/debian-security
Suites: bookworm-security
Components: main

Types: deb
URIs: http://third.invalid/repo
Suites: nodistro
Components: main

Types: deb
Enabled: no
URIs: http://mirror-c.invalid/debian
Suites: bookworm
Components: main

Types: deb deb-src
URIs: http://mirror-d.invalid/debian
Suites: bookworm
Components: main
EOF
# A one-line entry for the archive the deb822 file already covers.
echo 'deb http://mirror-d.invalid/debian bookworm main' >"$apt/sources.list.d/d.list"

cp -a "$apt" "$work/before"
add_deb_src "$apt" "$work/os-release" 2>"$work/log"
cat "$work/log"
fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; else echo "ok   $2"; fi; }

check '[ "$DEB_SRC_CHANGED" = 1 ]' "the first run reports a change"
expected_list=$(sed '2a deb-src [signed-by=/usr/share/keyrings/a.gpg] http://mirror-a.invalid/debian bookworm main contrib' \
  "$work/before/sources.list")
check '[ "$(cat "$apt/sources.list")" = "$expected_list" ]' "sources.list: one deb-src twin, after the release entry"
expected_sources=$(sed '1s/.*/Types: deb deb-src/' "$work/before/sources.list.d/base.sources")
check '[ "$(cat "$apt/sources.list.d/base.sources")" = "$expected_sources" ]' \
  "base.sources: deb-src added to the release stanza only"
check 'cmp -s "$apt/sources.list.d/d.list" "$work/before/sources.list.d/d.list"' \
  "d.list: left alone, its archive has deb-src"
check '[ "$(ls "$apt/sources.list.d")" = "$(ls "$work/before/sources.list.d")" ]' "no file added"
check 'grep -q "sources.list:2: a deb-src twin" "$work/log"' "the twin is logged"
check 'grep -q "sources.list:2: .*suite bookworm, components main contrib)" "$work/log"' \
  "the twin's suite and components are logged"
check 'grep -q "base.sources: stanza 1 (Suites: bookworm bookworm-updates; Components: main)" "$work/log"' \
  "the stanza is logged"
check '[ ! -e "$unlogged" ]' "each file is logged before it is written"
check '[ "$(grep -c "enabling source packages" "$work/log")" = 2 ]' "exactly two changes logged"
check '! grep -q "invalid" "$work/log"' "the log names no host"

cp -a "$apt" "$work/after"
add_deb_src "$apt" "$work/os-release" 2>"$work/log2"
check '[ "$DEB_SRC_CHANGED" = 0 ] && [ ! -s "$work/log2" ]' "a second run changes and logs nothing"
check 'diff -r "$apt" "$work/after" >/dev/null' "a second run leaves the files as they were"

printf 'NAME=x\n' >"$work/no-codename"
check '! add_deb_src "$apt" "$work/no-codename" 2>/dev/null' "no release codename: refused"

[ "$fail" = 0 ] && echo "deb-src: all passed"
exit "$fail"
