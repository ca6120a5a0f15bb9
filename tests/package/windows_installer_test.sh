#!/usr/bin/env bash
# The Windows installer as an administrator meets it, under Wine: made by the build's package
# target, installed silently, its files, Start-menu shortcut and Apps & features entry checked;
# Kavrel started from the shortcut, its window closed and its settings found in %APPDATA%;
# installed again over it (the settings and the left-out Tesmar stay as they were) and started
# again; uninstalled silently, leaving the users' settings and nothing else of ours.
#   windows_installer_test.sh BUILD_DIR VERSION
set -u
export LC_ALL=C
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/win32/lib/desktop.sh"
source "$root/tests/e2e/lib/poll.sh"
source "$root/tests/cli/lib/check.sh"
build=$(cd "$1" && pwd)
version=$2

# The display first, then the rest under Wine's prefix of the build's word size
# (scripts/wine-env), which ends every Wine process it started when the rest ends.
if [ -z "${KAVREL_INSTALLER_TEST_INNER:-}" ]; then
  desktop_start || exit 1
  KAVREL_INSTALLER_TEST_INNER=1 "$DESKTOP_ROOT/scripts/wine-env" "$0" "$build" "$version"
  exit
fi

W=$(mktemp -d "${TMPDIR:-/tmp}/installer-test.XXXXXX")
pulse_at_exit 'rm -rf "$W"'
# Kavrel's sound goes to a null sink: without one, a message box would wait before the window.
pulse_start || exit 1
fail() {
  echo "FAIL $*"
  exit 1
}

setup="$build/Kavrel-$version-$KAVREL_WINE_ARCH-setup.exe"
rm -f "$setup"
cmake --build "$build" --target package >"$W/package.log" 2>&1
[ -f "$setup" ] || { cat "$W/package.log"; fail "cmake --build --target package made no $(basename "$setup")"; }
echo "ok   cmake --build --target package makes $(basename "$setup")"

# Windows' own answers, as Unix paths where they are folders.
win() { wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
unix_path() { win winepath -u "$1"; }
program_files=$(win cmd /c echo %ProgramFiles%)
app=$(unix_path "$program_files\\Kavrel")
settings=$(unix_path "$(win cmd /c echo %APPDATA%)\\Kavrel")
programs=$(unix_path "$(win cmd /c echo %ProgramData%)\\Microsoft\\Windows\\Start Menu\\Programs")
name=Kavrel
view=/reg:32
if [ "$KAVREL_WINE_ARCH" = win64 ]; then
  name="Kavrel (64-bit)"
  view=/reg:64
fi
shortcut="$programs/$name.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavrel'
value() { win reg query "$key" "$view" | sed -n "s/^    $1    REG_[A-Z_]*    //p"; }
has_entry() { wine reg query "$key" "${1:-$view}" </dev/null >/dev/null 2>&1; }
installer() { wine "$(win winepath -w "$setup")" /S </dev/null >/dev/null 2>&1; }
same() { cmp -s "$1" <(printf '%s' "$2"); }  # same FILE BYTES
files() { (cd "$app" 2>/dev/null && ls | tr '\n' ' '); }

has_entry && fail "Kavrel is installed in this prefix before the test"
rm -rf "$settings"
pulse_at_exit 'rm -rf "$settings"'

installer
check "$(basename "$setup") /S exits with 0" test $? -eq 0
expected="Installed.txt Kavrel.exe README.txt Sindrat.ini Tesmar.exe Uninstall.exe kavrel-render.exe tesmar-client.exe "
check "the files, in $program_files\\Kavrel: $expected" \
  test "$(files)" = "$expected"
defaults=$'\r\n40\r\n 10 \r\n \r\n \r\n'
check "Sindrat.ini beside Kavrel.exe: the first start's settings" same "$app/Sindrat.ini" "$defaults"
check "the Start-menu shortcut '$name' for all users, to the installed Kavrel.exe" \
  grep -aqF "$program_files\\Kavrel\\Kavrel.exe" "$shortcut"
check "Apps & features: DisplayName '$name'" test "$(value DisplayName)" = "$name"
check "Apps & features: DisplayVersion $version" test "$(value DisplayVersion)" = "$version"
check "Apps & features: Publisher Pelorin" test "$(value Publisher)" = Pelorin
check "Apps & features: DisplayIcon, Kavrel.exe's icon" \
  test "$(value DisplayIcon)" = "$program_files\\Kavrel\\Kavrel.exe,0"
check "Apps & features: InstallLocation" test "$(value InstallLocation)" = "$program_files\\Kavrel"
check "Apps & features: UninstallString" \
  test "$(value UninstallString)" = "\"$program_files\\Kavrel\\Uninstall.exe\""
kb=$(($(value EstimatedSize)))
bytes=$(($(stat -c %s "$app"/* | paste -sd+)))
check "Apps & features: EstimatedSize, the folder's $((bytes / 1024)) KB ($kb)" \
  test "$kb" -ge $((bytes / 1024)) -a "$kb" -le $((bytes / 1024 + 1))
if [ "$KAVREL_WINE_ARCH" = win64 ]; then
  check "no entry in the 32-bit registry view" eval '! has_entry /reg:32'
fi

# Kavrel from its shortcut, as a user starts it; the window closed with Alt+F4.
window() { xdotool search --onlyvisible --name '^Pelorin 1\.0$' 2>/dev/null | head -n 1; }
run_kavrel() {
  win start "$(win winepath -w "$shortcut")"
  wait_for 60 '[ -n "$(window)" ]' || fail "no window titled 'Pelorin 1.0' within 60 s"
  local wid pid
  wid=$(window)
  # Wine names the process that owns an X window.
  pid=$(xdotool getwindowpid "$wid")
  pulse_at_exit "kill $pid 2>/dev/null"
  # Without a window manager the keyboard goes to the window under the pointer.
  xdotool mousemove --window "$wid" 200 227 click 1
  xdotool key alt+F4
  wait_for 30 "! kill -0 $pid 2>/dev/null" || fail "Kavrel.exe did not end after Alt+F4"
}
run_kavrel
echo "ok   Kavrel started from the shortcut, its window shown and closed"
check "its settings saved in %APPDATA%\\Kavrel\\Sindrat.ini, from the installed defaults" \
  same "$settings/Sindrat.ini" "$defaults"
check "nothing written beside the program" test "$(files)" = "$expected"
check "the installed Sindrat.ini unchanged" same "$app/Sindrat.ini" "$defaults"

# The user's own settings, and Tesmar left out as the components page leaves it out.
mine=$'159\r\n60\r\n 201 \r\n \r\n \r\n'
printf '%s' "$mine" >"$settings/Sindrat.ini"
rm "$app/Tesmar.exe" "$app/tesmar-client.exe"
installer
check "installed again over it: exits with 0" test $? -eq 0
check "one entry in Apps & features" \
  test "$(win reg query "${key%\\*}" /s "$view" | grep -cxF "    DisplayName    REG_SZ    $name")" -eq 1
check "the files again, Tesmar still left out" \
  test "$(files)" = "$(echo "$expected" | sed 's/Tesmar.exe //; s/tesmar-client.exe //')"
check "the user's settings kept" same "$settings/Sindrat.ini" "$mine"
run_kavrel
check "Kavrel read them from %APPDATA% and saved them back" same "$settings/Sindrat.ini" "$mine"

quiet=$(value QuietUninstallString)
uninstaller="$program_files\\Kavrel\\Uninstall.exe"
check "Apps & features: QuietUninstallString" test "$quiet" = "\"$uninstaller\" /S"
wine "$uninstaller" /S </dev/null >/dev/null 2>&1
# The uninstaller runs from a copy of itself in %TEMP%, so that it can remove the original.
wait_for 60 '! has_entry && [ ! -e "$app" ]'
check "uninstalled silently: no Apps & features entry" eval '! has_entry'
check "no program folder" test ! -e "$app"
check "no Start-menu shortcut" test ! -e "$shortcut"
# Every name the installer wrote, anywhere but in the user's settings. (The uninstaller's copy in
# %TEMP%, Un.exe, is removed by Windows at the next start, as NSIS asks.)
names=(-name "$name.lnk")
for file in $expected; do names+=(-o -name "$file"); done
left=$(find "$(unix_path 'C:\')" \( "${names[@]}" \) ! -path "$settings/*" 2>/dev/null)
check "no file of ours anywhere on C: ${left:+(left: $left)}" test -z "$left"
check "the user's settings left as they were" same "$settings/Sindrat.ini" "$mine"

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
[ "$failures" -eq 0 ]
