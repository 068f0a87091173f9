#!/usr/bin/env bash
# Usage: tests/run-folder.sh FOLDER
# Runs every case of the test programs in FOLDER (unit_tests.exe and
# lister_tests.exe, beside the two listers and the DLLs that the cases plant),
# each case in its own process, stopped after a minute, and judges each by
# GoogleTest's XML report: it passes once every case has run and passed. A
# case that skips itself fails the run, as one that fails does.
# The same script runs under Wine here, each program started through
# cmake/wine-run in a prefix of the folder's own, and natively in Git Bash on
# Windows, where the cases that only Wine can run are named and not run: each
# of them, which the programs must list, and no other.
set -eu
[ $# -eq 1 ] && [ -d "$1" ] || { echo "Usage: tests/run-folder.sh FOLDER" >&2; exit 2; }
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$1"
case $(uname -s) in
  MINGW* | MSYS* | CYGWIN*) run=() wine="" ;;
  *) run=("$here/cmake/wine-run" "$PWD/wine-prefix") wine=yes ;;
esac
# Arguments reach the programs as written, not as Git Bash's paths.
export MSYS_NO_PATHCONV=1
# What these need Windows has not: devenum kept from loading by Wine's
# DllOverrides; Wine's Z:\dev\full (a handle that refuses writes stands in for
# it on Windows, in ReadOnlyHandle); and a stand-in for the device enumerator,
# whose registration TrustedInstaller owns on Windows.
wine_only=(WinesEnumerator/Lister.ReportsExactly/NoEnumerator
  X86UnderWow64/Lister.ReportsExactly/NoEnumerator
  Output/UnwritableOutput.EndsWithStatusZero/FullDevice
  Flush.HeaderIsOutBeforeThePlatformIsAsked)
rm -rf results && mkdir results
passed=0 failed=0 not_run=0 named=0 started=$SECONDS
for program in unit_tests.exe lister_tests.exe; do
  # Its list has a line for each suite, then one for each of its cases:
  #   WinesEnumerator/Lister.
  #     ReportsExactly/NoDevice  # GetParam() = NoDevice
  # The first run under Wine may prepare its prefix, in half a minute or so.
  timeout 120 "${run[@]}" "$PWD/$program" --gtest_list_tests </dev/null >results/list || {
    echo "$program did not list its cases." >&2; exit 1; }
  cases=() suite=""
  while IFS= read -r line; do
    line=${line%$'\r'}
    if [[ $line =~ ^([A-Za-z0-9_/]+\.)$ ]]; then
      suite=${BASH_REMATCH[1]}
    elif [[ $line =~ ^\ \ ([A-Za-z0-9_/]+)(\ \ \#\ .*)?$ ]] && [ -n "$suite" ]; then
      cases+=("$suite${BASH_REMATCH[1]}")
    elif [[ $line != "Running main() from "* ]]; then  # gtest_main's greeting
      echo "$program listed a line that is not a case: $line" >&2; exit 1
    fi
  done <results/list
  [ "${#cases[@]}" -gt 0 ] || { echo "$program listed no case." >&2; exit 1; }
  for name in "${cases[@]}"; do
    if [[ " ${wine_only[*]} " == *" $name "* ]]; then
      named=$((named + 1))
      if [ -z "$wine" ]; then
        echo "not run (Wine only)  $name"; not_run=$((not_run + 1)); continue
      fi
    fi
    n=$((passed + failed + 1)) status=0
    timeout 60 "${run[@]}" "$PWD/$program" --gtest_filter="$name" \
      --gtest_output="xml:results/$n.xml" </dev/null >"results/$n.log" 2>&1 || status=$?
    # Its one <testcase .../>, named as asked, says whether it ran to the end
    # (result="completed") or skipped itself (result="skipped").
    report=$(grep -F '<testcase name="' "results/$n.xml" 2>/dev/null || true)
    verdict=""
    if [ "$status" -eq 124 ]; then verdict="did not end within 60 s"
    elif [ "$status" -ne 0 ]; then verdict="failed (status $status)"
    elif [ "$(grep -c . <<<"$report")" -ne 1 ]; then verdict="ran not one case"
    elif [[ $report != *" name=\"${name#*.}\" "*" classname=\"${name%%.*}\""* ]]; then
      verdict="reported another case"
    elif [[ $report == *' status="run" result="skipped" '* ]]; then verdict="skipped itself"
    elif [[ $report != *' status="run" result="completed" '* ]] ||
      grep -q '<failure' "results/$n.xml"; then verdict="did not pass"
    fi
    if [ -z "$verdict" ]; then
      echo "passed  $name"; passed=$((passed + 1))
    else
      cat "results/$n.log"; echo "FAILED  $name: $verdict"; failed=$((failed + 1))
    fi
  done
done
echo "$passed cases passed, $failed failed, $not_run not run (Wine only)," \
  "in $((SECONDS - started)) s."
# Not run are the cases named above, each of them, and no other.
if [ "$named" -ne "${#wine_only[@]}" ]; then
  echo "FAILED: of the ${#wine_only[@]} cases named as Wine-only, the programs listed $named." >&2
  exit 1
fi
[ "$failed" -eq 0 ]
