#!/usr/bin/env bash
# The Linux build as a user installs it:
#   linux_package_test.sh install BUILD_DIR           cmake --install into a DESTDIR and a prefix
#                                                     of the test's own: the files, the validators
#   linux_package_test.sh package BUILD_DIR VERSION   the Debian package: made, listed, unpacked,
#                                                     and its programs run from there
set -u
mode=$1
build=$2
tmp=$(mktemp -d)
# The test makes folders read-only; they are made writable again to be removed.
trap 'chmod -R u+w "$tmp"; rm -rf "$tmp"' EXIT
source "$(dirname "$0")/../cli/lib/check.sh"
finish() {
  [ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
  [ "$failures" -eq 0 ]
}

# Every file installed, below the prefix; the same for `cmake --install` and the package.
id=example.pelorin.kavrel
expected_files() {
  printf '%s\n' bin/kavrel bin/kavrel-render "share/applications/$id.desktop" \
    "share/metainfo/$id.metainfo.xml" share/man/man1/kavrel.1.gz share/man/man1/kavrel-render.1.gz
  for size in 16 24 32 48 64 128 256; do
    echo "share/icons/hicolor/${size}x$size/apps/$id.png"
  done
}
same_list() {  # same_list PREFIX ACTUAL_FILE: the expected files under PREFIX, in any order
  cmp -s <(expected_files | sed "s|^|$1/|" | sort) <(sort "$2") ||
    { diff <(expected_files | sed "s|^|$1/|" | sort) <(sort "$2"); false; }
}

if [ "$mode" = install ]; then
  prefix=/opt/kavrel-test
  DESTDIR="$tmp/dest" cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1
  check "cmake --install into DESTDIR" test $? -eq 0
  (cd "$tmp/dest" && find . -type f -printf '/%P\n') >"$tmp/files"
  check "the files, under DESTDIR + prefix only" same_list "$prefix" "$tmp/files"

  root="$tmp/dest$prefix"
  check "desktop entry valid" desktop-file-validate "$root/share/applications/$id.desktop"
  check "AppStream metadata valid" \
    appstreamcli validate --no-net --pedantic "$root/share/metainfo/$id.metainfo.xml"
  grep -q "<caption>" "$root/share/metainfo/$id.metainfo.xml" &&
    grep -q '<release version="[0-9.]*" date=' "$root/share/metainfo/$id.metainfo.xml"
  check "AppStream metadata: a screenshot caption and the release" test $? -eq 0
  for page in kavrel kavrel-render; do
    file="$root/share/man/man1/$page.1.gz"
    warnings=$(zcat "$file" | groff -ww -man -Tutf8 -z 2>&1)
    check "$page(1): no groff warnings${warnings:+: $warnings}" test -z "$warnings"
    out=$(LC_ALL=C.UTF-8 MANROFFOPT=-ww man -l "$file" 2>&1 >"$tmp/page")
    check "$page(1): man -l renders it silently${out:+: $out}" test -z "$out" -a -s "$tmp/page"
  done
  for size in 16 24 32 48 64 128 256; do
    file "$root/share/icons/hicolor/${size}x$size/apps/$id.png" >"$tmp/type"
    check "icon ${size}x$size" grep -q "PNG image data, $size x $size," "$tmp/type"
  done
  finish
  exit
fi

version=$3
deb="$build/kavrel_${version}_amd64.deb"
rm -f "$deb"
cmake --build "$build" --target package >"$tmp/package.log" 2>&1
check "cmake --build --target package makes $(basename "$deb")" test -f "$deb"
[ -f "$deb" ] || { cat "$tmp/package.log"; finish; exit; }
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub(/^\./, "", $6); print $6 }' >"$tmp/files"
check "dpkg-deb lists the files under /usr" same_list /usr "$tmp/files"
depends=$(dpkg-deb -f "$deb" Depends)
check "dependencies read from the programs: $depends" \
  grep -q "libqt6widgets6.*libsdl2" <<<"$depends"
check "a description" test "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2

root="$tmp/root"
dpkg-deb -x "$deb" "$root"
bin="$root/usr/bin"
(cd "$tmp" && "$bin/kavrel-render" dial 123 -o x.wav 2>/dev/null)
check "unpacked kavrel-render dial 123 -o x.wav" \
  test "$(head -c 4 "$tmp/x.wav" 2>/dev/null)" = RIFF -a "$(stat -c %s "$tmp/x.wav")" -eq 6440

# kavrel offscreen and without a sound server. It is closed as a session's end closes it: by
# SIGTERM once its handler is in place (ignored until then), which saves the settings.
run_closed() {  # run_closed [COMMAND PREFIX...] -- HOME: runs the unpacked kavrel to its end
  local pre=()
  while [ "$1" != -- ]; do pre+=("$1"); shift; done
  (trap '' TERM; export HOME=$2 QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy
   unset XDG_CONFIG_HOME; exec "${pre[@]}" "$bin/kavrel") >"$tmp/kavrel.log" 2>&1 &
  local pid=$! i
  for i in $(seq 1 600); do
    kill -0 "$pid" 2>/dev/null || break
    kill -TERM "$pid" 2>/dev/null
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null && echo "kavrel did not end within 60 s"
  wait "$pid"
}
holds() { cmp -s "$1" <(printf '%s' "$2"); }  # holds FILE BYTES
# The program's folder is the system's: the superuser finds no settings file there, anyone else
# cannot write it.
chmod a-w "$bin"
mkdir "$tmp/home"
run_closed -- "$tmp/home"
check "kavrel started and ended" test $? -eq 0
check "closing saved ~/.config/kavrel/Sindrat.ini" \
  holds "$tmp/home/.config/kavrel/Sindrat.ini" $'\r\n40\r\n 10 \r\n \r\n \r\n'
check "nothing beside the program" test ! -e "$bin/Sindrat.ini"

# A Sindrat.ini beside the read-only program gives the first start's settings, which then go to
# the user's folder. The superuser may write anywhere, so an ordinary user runs it.
chmod u+w "$bin"
stored=$'777\r\n60\r\n 301 \r\n \r\n \r\n'
printf '%s' "$stored" >"$bin/Sindrat.ini"
chmod a-w "$bin"
mkdir -m 777 "$tmp/user"
chmod 755 "$tmp"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
run_closed "${as_user[@]}" -- "$tmp/user"
check "kavrel as a user who cannot write its folder" test $? -eq 0
check "the defaults beside it were read and saved in the user's folder" \
  holds "$tmp/user/.config/kavrel/Sindrat.ini" "$stored"
check "the defaults are unchanged" holds "$bin/Sindrat.ini" "$stored"
[ "$failures" -eq 0 ] || sed 's/^/  kavrel: /' "$tmp/kavrel.log"
finish
