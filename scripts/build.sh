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
