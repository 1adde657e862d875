# Configures and builds the given presets (sourced after deps.sh).
build_presets() {
  local preset
  for preset in "$@"; do
    if [ ! -f "$ROOT/build/$preset/build.ninja" ]; then
      log "configuring $preset"
      (cd "$ROOT" && cmake --preset "$preset" >"$CACHE/configure-$preset.log" 2>&1) \
        || { cat "$CACHE/configure-$preset.log" >&2; return 1; }
    fi
    log "building $preset"
    (cd "$ROOT" && cmake --build --preset "$preset" -- -j2 >"$CACHE/build-$preset.log" 2>&1) \
      || { grep -E 'error|FAILED' -A3 "$CACHE/build-$preset.log" | head -n 60 >&2; return 1; }
  done
}
