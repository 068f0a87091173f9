# shellcheck shell=bash
# Sourced by the scripts beside it: installs what the build needs, with the
# packages in $extra_packages besides, and defines build, which configures a
# CMake preset and builds in it.

# A release build (release_build=yes) needs all of release/packages.txt, and
# neither Wine nor GoogleTest: it is rebuilt in a machine that holds its
# .buildinfo's packages alone. Any other build needs the first line of it, and
# those. Without its preloader, Wine now and then cannot start a program at
# all ("failed to map the shared user data"): something of the host's already
# lies where Windows keeps that page.
packages=$(grep -v '^#' "$(dirname "${BASH_SOURCE[0]}")/../release/packages.txt")
[ -n "${release_build:-}" ] ||
  packages="$(head -n 1 <<<"$packages") wine64 wine64-preloader googletest"
packages="$packages ${extra_packages:-}"

missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  # 32-bit packages (wine32:i386) come from the i386 architecture.
  add_i386=""
  if [[ $missing == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    add_i386="dpkg --add-architecture i386 && "
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing:$missing. Install them with:" >&2
    echo "  sudo sh -c '${add_i386}apt-get update && apt-get install -y --no-install-recommends$missing'" >&2
    exit 1
  fi
  echo "Installing$missing..." >&2
  export DEBIAN_FRONTEND=noninteractive
  [ -z "$add_i386" ] || dpkg --add-architecture i386
  apt-get update -q >&2
  apt-get install -y -q --no-install-recommends $missing >&2
fi

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

# build PRESET [TARGET...]: configures the CMake preset PRESET in
# build/PRESET, once, and builds the TARGETs there (everything when none).
build() {
  local preset=$1
  shift
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >&2
  cmake --build --preset "$preset" ${1:+--target} "$@" >&2
}
