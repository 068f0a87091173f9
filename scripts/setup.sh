# Sourced by the scripts beside it: installs what the build needs, then
# configures the CMake preset $preset ('windows', the debug build, when unset)
# in build/$preset and builds $targets there (everything when unset).

# Without its preloader, Wine now and then cannot start a program at all
# ("failed to map the shared user data"): something of the host's already
# lies where Windows keeps that page.
packages="cmake ninja-build g++-mingw-w64-x86-64-posix wine64 wine64-preloader googletest zip"

missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing:$missing. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends$missing" >&2
    exit 1
  fi
  echo "Installing$missing..." >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >&2
  apt-get install -y -q --no-install-recommends $missing >&2
fi

cd "$(dirname "${BASH_SOURCE[0]}")/.."
preset=${preset:-windows}
[ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >&2
cmake --build --preset "$preset" ${targets:+--target $targets} >&2
