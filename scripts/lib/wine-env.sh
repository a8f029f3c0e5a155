# Shared by the scripts that start Wine. Expects WINEPREFIX, WINEARCH and
# WINELOADER in the environment.

# Make the prefix once (wineboot takes ten to twenty seconds); later calls
# reuse it. It counts as made only once a program has run in it, so that a
# set-up that failed half-way is made again rather than taken for ready.
# A lock keeps parallel test processes from booting the same prefix twice.
wine_prefix_ready() {
  mkdir -p "$(dirname "$WINEPREFIX")" || return 1
  (
    flock 9 || exit 1
    [ -f "$WINEPREFIX/.ready" ] && exit 0
    log=$WINEPREFIX.log
    # What a failed set-up left running in the prefix is stopped with it.
    failed() {
      echo "Wine prefix $WINEPREFIX: $1${2:+ (see $log)}" >&2
      tail -n 5 "$log" >&2
      wineserver -k >/dev/null 2>&1
      exit 1
    }
    rm -rf "$WINEPREFIX"
    : >"$log" || failed "cannot write $log"
    # A fresh prefix takes 10 s natively and 25 s under qemu-i386.
    DISPLAY= timeout 120 "$WINELOADER" wineboot -i >>"$log" 2>&1
    rc=$?
    [ $rc -eq 124 ] && failed "wineboot -i did not finish in 120 s" log
    [ $rc -eq 0 ] || failed "wineboot -i failed (exit $rc)" log
    # Without a window manager on Xvfb, Wine waits two seconds on every
    # window it hides unless it manages the windows itself.
    DISPLAY= timeout 120 "$WINELOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$log" 2>&1 ||
      failed "cannot set the window management (exit $?)" log
    answer=$(DISPLAY= timeout 120 "$WINELOADER" cmd /c echo prefix-ok 2>>"$log" | tr -d '\r')
    [ "$answer" = prefix-ok ] || failed "cmd /c echo does not answer in it" log
    wineserver -w
    # Wine draws a window's caption buttons with its own Marlett font, which
    # Debian's Wine does not put into a new prefix: without it they show as
    # the letters "0 1 r" in every screenshot.
    fonts=$WINEPREFIX/drive_c/windows/Fonts
    if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -e "$fonts/marlett.ttf" ]; then
      mkdir -p "$fonts" && cp /usr/share/wine/fonts/marlett.ttf "$fonts/" || failed "cannot add Marlett to it"
    fi
    touch "$WINEPREFIX/.ready" || failed "cannot mark it ready"
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
