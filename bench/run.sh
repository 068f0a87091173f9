#!/usr/bin/env bash
# Times the release list-capture-devices.exe against bench-floor, a program
# that makes the same platform calls and writes nothing, with N = 0, 100,
# 1000 and 10000 devices registered in a scratch Wine prefix.
#
# Usage: bench/run.sh [PAIRS]   (PAIRS runs of each, alternating; default 11)
# Prints first the size of each release exe, x86-64 and x86, beside
# bench-floor's built the same way, and their ratio; then, per N, the median wall time of each, the median of the per-pair
# ratios lister/floor, and what each device adds to the lister's time over
# N = 0 (flat when the time grows linearly in N).
set -eu
pairs=${1:-11}
extra_packages="g++-mingw-w64-i686-posix"
# shellcheck source=scripts/setup.sh
source "$(dirname "$0")/../scripts/setup.sh"
build windows-release list-capture-devices bench-floor
build windows-x86-release list-capture-devices bench-floor

# Each exe's size beside the floor's, built the same way.
printf '%-30s %10s %16s %7s\n' exe bytes bench-floor.exe ratio
for exe in build/windows-release/list-capture-devices.exe \
  build/windows-x86-release/list-capture-devices-x86.exe; do
  lister=$(stat -c %s "$exe")
  floor=$(stat -c %s "${exe%/*}/bench-floor.exe")
  printf '%-30s %10d %16d %7.2f\n' "${exe##*/}" "$lister" "$floor" \
    "$(awk -v a="$lister" -v b="$floor" 'BEGIN { print a / b }')"
done
echo

build=$PWD/build/windows-release
prefix=$build/wine-bench-prefix
export WINEPREFIX=$prefix WINEDEBUG=-all
wine=/usr/lib/wine/wine64
cmake/wine-run "$prefix" cmd /c exit >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Replaces the video-input category's devices with N made-up cameras.
register() {
  local n=$1 key='HKEY_CLASSES_ROOT\CLSID\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\Instance'
  {
    printf 'REGEDIT4\r\n\r\n[-%s]\r\n\r\n[%s]\r\n\r\n' "$key" "$key"
    for ((i = 0; i < n; i++)); do
      printf '[%s\\device%05d]\r\n"FriendlyName"="USB2.0 HD UVC WebCam %d"\r\n"Description"="USB Video Device"\r\n\r\n' "$key" "$i" "$i"
    done
  } >"$work/devices.reg"
  # Wine's Z: drive is the Unix root.
  "$wine" regedit /S "Z:${work//\//\\}\\devices.reg" </dev/null >/dev/null 2>&1
}

# Wall time of one run, in microseconds.
time_run() {
  local start end
  start=$(date +%s%N)
  "$wine" "$1" </dev/null >"$work/out.txt" 2>/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%7s %12s %12s %8s %14s\n' N lister_ms floor_ms ratio us_per_device
for n in 0 100 1000 10000; do
  register "$n"
  # One run of each first, untimed: the registry and file caches warm up.
  time_run "$build/list-capture-devices.exe" >/dev/null
  grep -q "foudn dev number = $n" "$work/out.txt" ||
    { echo "the lister did not see $n devices" >&2; exit 1; }
  time_run "$build/bench-floor.exe" >/dev/null
  rm -f "$work/lister" "$work/floor" "$work/ratio"
  for ((r = 0; r < pairs; r++)); do
    a=$(time_run "$build/list-capture-devices.exe")
    b=$(time_run "$build/bench-floor.exe")
    echo "$a" >>"$work/lister"
    echo "$b" >>"$work/floor"
    awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$work/ratio"
  done
  lister=$(median <"$work/lister")
  [ "$n" -ne 0 ] || empty=$lister
  printf '%7d %12.1f %12.1f %8.3f %14s\n' "$n" \
    "$(awk -v t="$lister" 'BEGIN { print t / 1000 }')" \
    "$(median <"$work/floor" | awk '{ print $1 / 1000 }')" \
    "$(median <"$work/ratio")" \
    "$(awk -v t="$lister" -v e="$empty" -v n="$n" \
         'BEGIN { if (n) printf "%.1f", (t - e) / n; else print "-" }')"
done
register 0
