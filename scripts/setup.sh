# Sourced by run.sh and test.sh: installs what the build needs, then
# configures and builds the 'windows' preset.

packages="cmake ninja-build g++-mingw-w64-x86-64-posix wine64 googletest"

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
[ -f build/windows/CMakeCache.txt ] || cmake --preset windows >&2
cmake --build --preset windows >&2
