# Configures and builds the given presets (sourced after deps.sh).
build_presets() {
  local preset
  for preset in "$@"; do
    # Always configure (quick when cached): a module folder that appeared
    # since the last run is picked up without touching any CMakeLists.txt.
    log "configuring $preset"
    (cd "$ROOT" && cmake --preset "$preset" >"$CACHE/configure-$preset.log" 2>&1) \
      || { cat "$CACHE/configure-$preset.log" >&2; return 1; }
    log "building $preset"
    (cd "$ROOT" && cmake --build --preset "$preset" -- -j2 >"$CACHE/build-$preset.log" 2>&1) \
      || { grep -E 'error|FAILED' -A3 "$CACHE/build-$preset.log" | head -n 60 >&2; return 1; }
  done
}

# Builds the Quandel library of git revision $1, native and Windows, into the
# cache (once per commit; the sources are unpacked outside the tree and
# removed after) and prints the folder that holds native/ and windows/.  It
# is built by its file name, which every revision shares, whatever the
# revision calls its CMake target.
build_baseline() {
  local sha dir preset file
  sha=$(git -C "$ROOT" rev-parse --verify "$1^{commit}") || return 1
  dir="$CACHE/baseline/$sha"
  if [ ! -f "$dir/native/Quandel.so" ] || [ ! -f "$dir/windows/Quandel.dll" ]; then
    log "building Quandel of $1 ($sha) into $dir"
    rm -rf "$dir/src" && mkdir -p "$dir/src"
    git -C "$ROOT" archive "$sha" | tar -x -C "$dir/src"
    for preset in native windows; do
      file=Quandel$([ "$preset" = windows ] && echo .dll || echo .so)
      (cd "$dir/src" && cmake --preset "$preset" -DLUAMODS_MODULES_ONLY=ON >"$dir/configure-$preset.log" 2>&1 &&
        cmake --build --preset "$preset" --target "bin/$file" -- -j2 >"$dir/build-$preset.log" 2>&1) ||
        { tail -n 30 "$dir/configure-$preset.log" "$dir/build-$preset.log" >&2; return 1; }
      mkdir -p "$dir/$preset" && cp "$dir/src/build/$preset/bin/$file" "$dir/$preset/"
    done
    rm -rf "$dir/src"
  fi
  echo "$dir"
}
