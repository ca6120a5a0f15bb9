#!/usr/bin/env bash
# The Windows zip as a user meets it: made by the build's package target, unpacked, its files
# and README checked, and kavrel-render.exe run from the unpacked folder under Wine.
#   windows_zip_test.sh BUILD_DIR VERSION
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
# Wine of the build's word size (scripts/wine-env), one prefix for the run.
if [ -z "${KAVREL_WINE_PREFIX:-}" ] || [ "${WINEPREFIX:-}" != "$KAVREL_WINE_PREFIX" ]; then
  exec "$root/scripts/wine-env" "$0" "$@"
fi
build=$(cd "$1" && pwd)
version=$2
name=Kavrel-$version-$KAVREL_WINE_ARCH
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
source "$root/tests/cli/lib/check.sh"

zip="$build/$name.zip"
rm -f "$zip"
cmake --build "$build" --target package >"$tmp/package.log" 2>&1
check "cmake --build --target package makes $name.zip" test -f "$zip"
[ -f "$zip" ] || { cat "$tmp/package.log"; exit 1; }
mkdir "$tmp/unzipped"
(cd "$tmp/unzipped" && cmake -E tar xf "$zip")
dir="$tmp/unzipped/$name"

expected="Kavrel.exe README.txt Sindrat.ini Tesmar.exe kavrel-render.exe tesmar-client.exe"
actual=$(cd "$tmp/unzipped" && find . -type f -printf '%P\n' | sort | tr '\n' ' ')
check "the files, in $name/: $expected" \
  test "$actual" = "$(printf "$name/%s\n" $expected | sort | tr '\n' ' ')"
check "Sindrat.ini: the first start's settings" \
  cmp -s "$dir/Sindrat.ini" <(printf '\r\n40\r\n 10 \r\n \r\n \r\n')
check "README.txt: Windows line ends only" \
  test "$(grep -c $'\r$' "$dir/README.txt")" -eq "$(wc -l <"$dir/README.txt")" -a \
  "$(wc -l <"$dir/README.txt")" -gt 5

(cd "$tmp" && wine "$dir/kavrel-render.exe" dial 123 -o x.wav </dev/null >/dev/null 2>&1)
check "kavrel-render.exe dial 123 -o x.wav from the unpacked folder" \
  test "$(head -c 4 "$tmp/x.wav" 2>/dev/null)" = RIFF -a "$(stat -c %s "$tmp/x.wav" 2>/dev/null)" = 6440

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
[ "$failures" -eq 0 ]
