#!/usr/bin/env bash
# scripts/test decides by a real probe whether the win32 tests can run, and on a machine that
# cannot (or with KAVREL_NO_32BIT=1) still builds win32, runs the win64 tests and says why in one
# line.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
check() {
  if ! eval "$2"; then
    echo "FAIL $1"
    failures=$((failures + 1))
  fi
}

forced=$(KAVREL_NO_32BIT=1 "$root/scripts/test" --plan)
check "forced: both Windows builds compiled" \
  'grep -qx "cmake --workflow --preset win32" <<<"$forced" &&
   grep -qx "cmake --workflow --preset win64" <<<"$forced"'
check "forced: win64 tests only" \
  'grep -qx "windows_tests win64" <<<"$forced" && ! grep -q "windows_tests win32" <<<"$forced"'
check "forced: one line says why, last" \
  '[ "$(grep -c "^32-bit programs cannot run" <<<"$forced")" = 1 ] &&
   tail -n 1 <<<"$forced" | grep -q "^32-bit programs cannot run on this machine (KAVREL_NO_32BIT is set): the win32 build was compiled and its tests skipped; the same tests ran on win64\.$"'

probed=$(env -u KAVREL_NO_32BIT "$root/scripts/test" --plan)
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  check "32-bit programs run: both builds' tests" \
    'grep -qx "windows_tests win32" <<<"$probed" && grep -qx "windows_tests win64" <<<"$probed" &&
     ! grep -q "^32-bit programs cannot run" <<<"$probed"'
else
  check "32-bit programs do not run: the probe says so" \
    '! grep -q "windows_tests win32" <<<"$probed" &&
     tail -n 1 <<<"$probed" | grep -q "^32-bit programs cannot run on this machine (/usr/lib/wine/wine"'
fi

[ "$failures" -eq 0 ] && echo "ok" || exit 1
