# The route by which Wine runs the i686 build, the programs we ship.
# Sourced after packages.sh, from the root of the checkout.
#
# Where the kernel runs 32-bit programs, Wine runs them as it is. Where it
# does not, Wine's 32-bit half runs under user-mode QEMU registered with
# binfmt_misc for i386 programs. Bookworm's own qemu-user (7.2) fails in
# Wine's address-space set-up; a qemu-i386 of 10.0 or later is taken from
# the backports, fetched as a package and unpacked under build/, never
# installed. The registration is machine-wide: it is made only when no other
# handler answers for i386 programs, for the time of the run, and removed by
# wine32_release, which the caller runs when it exits.
#
# FLASHTOOL_ASSUME_NO_IA32=1 takes the kernel for one without 32-bit
# support, so that the emulated route is taken and tried on any machine.

wine32_binfmt=/proc/sys/fs/binfmt_misc
wine32_entry=flashtool-i386-$$
wine32_loader=/usr/lib/wine/wine
wine32_prefix=$PWD/build/win32/wineprefix
wine32_registered= wine32_mounted=

# Sets wine32_how to "native" or "emulated", or wine32_error to the reason
# when the i686 build cannot run, and returns non-zero then.
wine32_setup() {
  local foreign qemu
  wine32_how= wine32_error=
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386 || { wine32_error="dpkg --add-architecture i386 failed"; return 1; }
  fi
  ensure_packages wine32:i386 || { wine32_error="wine32 is not installed: $packages_error"; return 1; }
  wine32_mount
  wine32_forget_stale
  foreign=$(wine32_handlers | grep -v '^flashtool-i386-')
  if [ -n "$foreign" ]; then
    # Someone else's handler is not ours to replace or remove.
    wine32_answers || { wine32_error="$wine32_error; binfmt_misc hands i386 programs to ${foreign//$'\n'/, }, which is not ours to replace"; return 1; }
    wine32_how=emulated
    return 0
  fi
  if [ -z "${FLASHTOOL_ASSUME_NO_IA32:-}" ] && [ -z "$(wine32_handlers)" ] && kernel_runs_32bit; then
    wine32_answers || { wine32_error="the kernel runs 32-bit programs, but $wine32_error"; return 1; }
    wine32_how=native
    return 0
  fi
  wine32_qemu || return 1
  qemu=$wine32_qemu_path
  wine32_register "$qemu" || return 1
  wine32_answers || { wine32_error="under $qemu: $wine32_error"; return 1; }
  wine32_how=emulated
}

# Removes what wine32_setup registered and mounted.
wine32_release() {
  if [ -n "$wine32_registered" ] && [ -e "$wine32_binfmt/$wine32_entry" ]; then
    echo -1 | as_root tee "$wine32_binfmt/$wine32_entry" >/dev/null
  fi
  wine32_registered=
  if [ -n "$wine32_mounted" ] && [ -z "$(ls "$wine32_binfmt" | grep -vx -e register -e status)" ]; then
    as_root umount "$wine32_binfmt"
  fi
  wine32_mounted=
}

# Can this kernel run 32-bit programs by itself? Asks with a 93-byte ELF
# that only calls exit(0); a binfmt_misc handler could answer for it, so
# this counts only when none is registered.
kernel_runs_32bit() {
  local probe rc; probe=$(mktemp)
  echo 'f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhdAAAAXQAAAAUAAAAAEAAAuAEAAAAx282A' | base64 -d >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null; rc=$?
  rm -f "$probe"
  return $rc
}

wine32_mount() {
  [ -e "$wine32_binfmt/status" ] && return 0
  as_root mount -t binfmt_misc binfmt_misc "$wine32_binfmt" 2>/dev/null && wine32_mounted=1
}

# The enabled binfmt_misc handlers that claim Wine's 32-bit loader, one a
# line: name and interpreter.
wine32_handlers() {
  local header entry offset magic mask interpreter key value i h m
  grep -qx enabled "$wine32_binfmt/status" 2>/dev/null || return 0
  header=$(od -An -tx1 -N128 "$wine32_loader" | tr -d ' \n')
  for entry in "$wine32_binfmt"/*; do
    case ${entry##*/} in register|status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null || continue
    offset=0 magic= mask= interpreter=
    while read -r key value; do
      case $key in offset) offset=$value ;; magic) magic=$value ;; mask) mask=$value ;; interpreter) interpreter=$value ;; esac
    done <"$entry"
    [ -n "$magic" ] && [ $(( (offset * 2) + ${#magic} )) -le ${#header} ] || continue
    for ((i = 0; i < ${#magic}; i += 2)); do
      h=$((16#${header:offset * 2 + i:2})) m=255
      [ -n "$mask" ] && m=$((16#${mask:i:2}))
      [ $((h & m)) -eq $((16#${magic:i:2} & m)) ] || continue 2
    done
    echo "${entry##*/} ($interpreter)"
  done
}

# A handler of ours whose run ended without removing it (killed) is removed.
wine32_forget_stale() {
  local entry pid
  for entry in "$wine32_binfmt"/flashtool-i386-*; do
    [ -e "$entry" ] || continue
    pid=${entry##*-}
    [ -d "/proc/$pid" ] || echo -1 | as_root tee "$entry" >/dev/null
  done
}

# Registers QEMU for i386 ELF programs. Flag F opens it now, so the kernel
# finds it in every mount namespace and Wine's children start under it too.
wine32_register() {
  [ -e "$wine32_binfmt/register" ] || { wine32_error="binfmt_misc is not mounted on $wine32_binfmt and could not be"; return 1; }
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':%s:M::%s:%s:%s:F\n' "$wine32_entry" "$magic" "$mask" "$1" | as_root tee "$wine32_binfmt/register" >/dev/null ||
    { wine32_error="cannot register $1 with binfmt_misc"; return 1; }
  wine32_registered=1
}

# Sets wine32_qemu_path to a qemu-i386 of 10.0 or later, fetched once from
# the backports of this Debian release with an apt state of its own.
wine32_qemu() {
  local cache=$PWD/build/qemu-user codename mirror deb
  local qemu=$cache/root/usr/bin/qemu-i386
  if ! wine32_qemu_recent "$qemu"; then
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null | awk -v s="$codename" '$2 == s {print $1; exit}')
    [ -n "$mirror" ] || { wine32_error="no Debian mirror for $codename in apt's sources"; return 1; }
    rm -rf "$cache"
    mkdir -p "$cache/lists/partial" "$cache/cache/archives/partial" "$cache/fetch" || return 1
    echo "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $codename-backports main" >"$cache/sources.list"
    local apt=(-q -o Dir::Etc::sourcelist="$cache/sources.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$cache/lists"
               -o Dir::Cache="$cache/cache" -o APT::Sandbox::User=root)
    echo "Fetching qemu-user from $codename-backports" >&2
    if ! apt-get "${apt[@]}" update >"$cache/apt.log" 2>&1 ||
       ! (cd "$cache/fetch" && apt-get "${apt[@]}" download "qemu-user/$codename-backports") >>"$cache/apt.log" 2>&1; then
      wine32_error="qemu-user could not be fetched from $codename-backports: $(grep -E '^(E|W):' "$cache/apt.log" | head -n 2)"
      return 1
    fi
    deb=$(ls "$cache"/fetch/qemu-user_*.deb)
    mkdir -p "$cache/root" && dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$cache/root" ./usr/bin/qemu-i386 || {
      wine32_error="no usr/bin/qemu-i386 in $deb"; return 1; }
    rm -rf "$cache/fetch" "$cache/cache"
    wine32_qemu_recent "$qemu" || { wine32_error="$($qemu --version | head -n 1) from $codename-backports is older than 10.0"; return 1; }
  fi
  wine32_qemu_path=$qemu
}

wine32_qemu_recent() {
  local major
  major=$("$1" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge 10 ]
}

# Does Wine start a 32-bit Windows program and hear its answer? Asks in the
# prefix of the win32 build, made here on first use, with a console program
# built for i686 like the product.
wine32_answers() {
  local dir=$PWD/build/wine32-probe answer
  mkdir -p "$dir" || return 1
  if [ ! -f "$dir/probe.exe" ] || [ scripts/lib/wine32-probe.c -nt "$dir/probe.exe" ]; then
    i686-w64-mingw32-gcc -O2 -s -o "$dir/probe.exe" scripts/lib/wine32-probe.c 2>"$dir/build.log" ||
      { wine32_error="the probe did not build: $(head -n 3 "$dir/build.log")"; return 1; }
  fi
  answer=$(
    export WINEPREFIX=$wine32_prefix WINEARCH=win32 WINELOADER=$wine32_loader WINEDEBUG=-all DISPLAY=
    . scripts/lib/wine-env.sh
    wine_prefix_ready 2>"$dir/prefix.log" || exit 1
    timeout 120 "$WINELOADER" "$dir/probe.exe" 2>"$dir/probe.log"
    wineserver -k >/dev/null 2>&1
  )
  answer=$(tr -d '\r' <<<"$answer")
  [ "$answer" = wine32-ok ] && return 0
  if [ -s "$dir/prefix.log" ]; then
    wine32_error="Wine could not make a 32-bit prefix: $(head -n 1 "$dir/prefix.log")"
  else
    wine32_error="Wine did not start a 32-bit program (build/wine32-probe/probe.exe answered \"$answer\"; $dir/probe.log)"
  fi
  return 1
}
