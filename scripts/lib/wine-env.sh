# Shared by the scripts that start Wine. Expects WINEPREFIX, WINEARCH and
# WINELOADER in the environment.

# Make the prefix once (wineboot takes about ten seconds); later calls reuse it.
# A lock keeps parallel test processes from booting the same prefix twice.
wine_prefix_ready() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      rm -rf "$WINEPREFIX"
      DISPLAY= "$WINELOADER" wineboot -i >/dev/null 2>&1
      # Without a window manager on Xvfb, Wine waits two seconds on every
      # window it hides unless it manages the windows itself.
      "$WINELOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Run a command with an Xvfb display of its own, stopped afterwards.
with_own_display() {
  local n=$((100 + RANDOM % 800)) pid rc
  while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  DISPLAY=":$n" "$@"; rc=$?
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  return $rc
}
