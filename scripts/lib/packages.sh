# Installs from Debian's packages whatever of the given list is missing.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Can this kernel run 32-bit programs? Wine needs that for 32-bit Windows
# programs; some machines have it switched off. Probes with a 93-byte ELF
# that only calls exit(0).
kernel_runs_32bit() {
  local probe; probe=$(mktemp)
  echo 'f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhdAAAAXQAAAAUAAAAAEAAAuAEAAAAx282A' | base64 -d >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null; local rc=$?
  rm -f "$probe"
  return $rc
}

BUILD_PACKAGES=(cmake ninja-build g++ file libgtest-dev googletest
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
WINE_PACKAGES=(wine wine64 xvfb x11-utils)
