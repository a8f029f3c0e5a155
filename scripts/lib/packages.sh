# Installs from Debian's packages whatever of the given list is missing.
# A package list that fails to download (a mirror in the middle of a sync)
# need not concern the packages wanted here, so the install is tried anyway;
# only when it fails are the lists fetched again, after a pause. On failure
# packages_error holds apt's reason in a line.
ensure_packages() {
  local missing=() p try said
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  said=$(mktemp)
  for try in 1 2 3; do
    if [ $try -gt 1 ]; then
      echo "apt-get install failed; fetching the package lists again in 30 s (try $try of 3)" >&2
      sleep 30
    fi
    packages_error=
    if ! as_root apt-get update -qq 2>"$said"; then
      cat "$said" >&2
      echo "apt-get update failed in part; installing all the same" >&2
      packages_error="after a partial apt-get update ($(grep -m1 '^E:' "$said"))"
    fi
    if DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" \
         2>"$said" >/dev/null; then
      rm -f "$said"; packages_error=
      return 0
    fi
    cat "$said" >&2
    packages_error="apt-get install ${missing[*]}: $(grep '^E:' "$said" | tail -n 1)${packages_error:+, $packages_error}"
  done
  rm -f "$said"
  return 1
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

BUILD_PACKAGES=(cmake ninja-build g++ file libgtest-dev googletest
  clang libclang-rt-14-dev libcli11-dev nlohmann-json3-dev libsystemd-dev libsgutils2-dev libssl-dev pkgconf scdoc
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
WINE_PACKAGES=(wine wine64 xvfb x11-utils fonts-wine)
# The real-kernel tier: QEMU, and what its guest runs (busybox, sg3-utils);
# the kernel itself is fetched with apt-get download, not installed.
KERNEL_PACKAGES=(qemu-system-x86 busybox-static sg3-utils cpio)
# Its stage of the Windows programs: the guest runs the host's Wine and Xvfb,
# and takes a screenshot of the window, whose text is Chinese.
KERNEL_WINE_PACKAGES=(imagemagick fonts-arphic-uming)
# The Debian package and the Windows zip, and their checks: dpkg-shlibdeps
# for the dependencies, lintian, man to render the manual page.
PACKAGE_PACKAGES=(dpkg-dev lintian man-db zip unzip)

# A build folder configured in another place (a checkout copied or moved)
# names the old sources in its CMake cache, and CMake refuses to configure
# it here: such a folder is started afresh.
forget_moved_builds() { # folder...
  local dir home here
  here=$(realpath .)
  for dir in "$@"; do
    [ -f "$dir/CMakeCache.txt" ] || continue
    home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$dir/CMakeCache.txt")
    [ -n "$home" ] && [ "$(realpath -m "$home")" = "$here" ] && continue
    echo "$dir was configured for ${home:-another checkout}: building it afresh"
    rm -rf "$dir"
  done
}
