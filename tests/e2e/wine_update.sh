#!/usr/bin/env bash
# The launcher updating itself, under Wine in a fresh prefix: 1.8 installed
# with its installer; the demo network publishes 1.9's installer with the
# tool. A descriptor signed by another key and a tampered installer each
# open the download page and leave 1.8 installed and starting; an installer
# killed halfway leaves 1.8 starting; then the update: the message, the 1.9
# window, 1.8's folder gone after it, the Start-menu and uninstall entries
# on 1.9, a second start of 1.9 with no message, the uninstall. Last, a
# launcher installed in the layout from before versions had folders of their
# own updates too, and its files go. It reuses build-windows/ and builds 1.9
# beside it (build-windows-1.9/) when missing. Without the Qt kit for
# Windows: skipped (77).
set -euo pipefail
: "${ZANROK_SOURCE_DIR:?}"
windows_build=${ZANROK_WINDOWS_BUILD_DIR:-$ZANROK_SOURCE_DIR/build-windows}
next_build=$windows_build-1.9
kit=${ZANROK_WINDOWS_KIT:-$ZANROK_SOURCE_DIR/../shared/windows}
[ -d "$kit" ] && kit=$kit/qt5.15.8-mingw-x86_64.tar.xz
if [ ! -f "$kit" ]; then
    echo "wine_update: no Qt kit for Windows at $kit, so no Windows build to run: skipped"
    exit 77
fi
for build in "$windows_build" "$next_build"; do
    [ -f "$build/ZanrokLauncherSetup.exe" ] && continue
    echo "wine_update: building $build first (scripts/build-windows)"
    version=()
    if [ "$build" = "$next_build" ]; then
        version=(-DZANROK_VERSION=1.9)
        # The kit unpacked once, for both.
        mkdir -p "$build" && [ -e "$build/kit" ] || ln -s "$windows_build/kit" "$build/kit"
    fi
    ZANROK_WINDOWS_BUILD_DIR=$build ZANROK_WINDOWS_KIT=$kit \
        "$ZANROK_SOURCE_DIR/scripts/build-windows" "${version[@]}" >/dev/null
done
export ZANROK_STANDIN=$windows_build/standin-deploy
source "$(dirname "$0")/lib.sh"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine" ] || fail "wine64 is missing (scripts/install-deps windows installs it)"

update=(ca-chain version=1.9 "launcher=$next_build/ZanrokLauncherSetup.exe")
setup "${update[@]}" launcher-foreign-key
unset QT_QPA_PLATFORM QT_QUICK_BACKEND
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'status=$?; set +e; "$wineserver" -k; (exit $status); cleanup' EXIT
"$wine" wineboot -i >"$work/wineboot.log" 2>&1 {ports_lock}>&- || fail "wineboot: $(tail -n 3 "$work/wineboot.log")"
profile=$WINEPREFIX/drive_c/users/$(id -un)
programs="$profile/AppData/Local/Programs/Zanrok Launcher"
updates=$profile/AppData/Local/Zanrok/updates
shortcut="$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Zanrok Launcher.lnk"
"$wine" "$windows_build/ZanrokLauncherSetup.exe" /S {ports_lock}>&- || fail "the installer failed"
[ -f "$programs/1.8/zanrok-launcher.exe" ] || fail "1.8 is not installed in $programs/1.8"
touch "$programs/notes.txt" # the player's
log "1.8 installed"

zanrok_dir() { echo "$WINEPREFIX/drive_c/Games/Zanrok"; }
start_version() { # version
    "$wine" "$programs/$1/zanrok-launcher.exe" >"$work/launcher.log" 2>&1 {ports_lock}>&- &
    launcher_pid=$!
    log "launcher $1 started under Wine (pid $launcher_pid)"
}
# The shortcut holds its target's folder once, in UTF-16LE (its working folder).
hex() { od -An -tx1 -v | tr -d ' \n'; }
shortcut_names() { # version
    local folder='C:\users\'"$(id -un)"'\AppData\Local\Programs\Zanrok Launcher\'"$1"
    [[ "$(hex <"$shortcut")" == *"$(printf '%s\0' "$folder" | iconv -t UTF-16LE | hex)"* ]]
}
registered() { # version: the uninstall entry's
    "$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZanrokLauncher' /v DisplayVersion \
        2>/dev/null {ports_lock}>&- | tr -d '\r' | grep -q "REG_SZ *$1\$"
}
# The message over the window, closed with its OK button. (Its text is the
# Linux tests' to read: Wine's boxes set no X selection.)
announce() {
    wait_for_main_window
    wait_for_message_box 60
    xdotool mousemove --window "$message_box" 115 63 click 1
    wait_until 10 "the message to close" eval '! message_box_shown'
}
# The update refused: the download page opened, 1.8 running and installed.
expect_fallback() { # pages opened before
    wait_until 60 "the download page" opened $(($1 + 1))
    [ "$(opened_urls | tail -n 1)" = "$SITE/download" ] || fail "opened '$(opened_urls | tail -n 1)'"
    sleep 1
    launcher_running || fail "the launcher ended"
    [ ! -e "$programs/1.9" ] && shortcut_names 1.8 && registered 1.8 || fail "1.8 is no longer the one installed"
    click "$EXIT_X" "$EXIT_Y"
    expect_exit 30
}

start_version 1.8
announce
expect_fallback 0
[ ! -e "$updates/1.9/ZanrokLauncherSetup.exe" ] || fail "an installer was fetched for a descriptor of another key"
log "a descriptor signed by another key: the download page"

restart_devnet "${update[@]}" launcher-tampered
start_version 1.8
announce
expect_fallback 1
[ -z "$(ls -A "$updates/1.9" 2>/dev/null)" ] || fail "the tampered installer was kept: $(ls -A "$updates/1.9")"
log "a tampered installer: the download page"

restart_devnet "${update[@]}"
start_version 1.8
announce
expect_exit 60
log "1.8 ended for its installer"
wait_until 60 "the installer to fill 1.9's folder" test -f "$programs/1.9/Qt5Core.dll"
pkill -KILL -f 'ZanrokLauncherSetup.exe' || true
[ ! -e "$programs/1.9/uninstall.exe" ] || fail "the installer ended before it could be killed halfway"
sleep 1
shortcut_names 1.8 && registered 1.8 || fail "an installer killed halfway switched to 1.9"
log "the installer killed halfway: $(find "$programs/1.9" -type f | wc -l) files in 1.9's folder"

start_version 1.8
announce
expect_exit 60
new_window() {
    local w pid
    for w in $(xdotool search --onlyvisible --name "^$MAIN_TITLE\$" 2>/dev/null); do
        pid=$(xdotool getwindowpid "$w" 2>/dev/null) || continue
        if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF '1.9\zanrok-launcher.exe'; then
            main_window=$w launcher_pid=$pid
            return 0
        fi
    done
    return 1
}
# 1.9 started by its installer: its window, then what `gone` names removed.
expect_update() { # what gone checks
    wait_until 120 "the 1.9 window" new_window
    log "1.9's window $main_window shown (pid $launcher_pid)"
    wait_until 30 "$1 to go" gone
    [ -f "$programs/notes.txt" ] && [ -f "$programs/1.9/zanrok-launcher.exe" ] || fail "the clean-up took what was not $1's"
    shortcut_names 1.9 && registered 1.9 || fail "the Start-menu or uninstall entry does not name 1.9"
    if message_box_shown; then fail "1.9 showed '$(message_box_text)'"; fi
    click "$EXIT_X" "$EXIT_Y"
    wait_until 30 "1.9 to end" eval '! launcher_running'
}
gone() { [ ! -e "$programs/1.8" ]; }
expect_update "1.8's folder"
log "updated to 1.9; 1.8's folder removed after its window"

version_fetches() { served | grep -c '^GET /LAUNCHER_FILES/ver.txt '; }
fetched_before=$(version_fetches)
start_version 1.9
wait_for_main_window
wait_until 30 "the version fetch" eval '[ "$(version_fetches)" -gt "$fetched_before" ]'
sleep 2
if message_box_shown; then fail "the second start of 1.9 showed '$(message_box_text)'"; fi
[ ! -e "$updates/1.9" ] || fail "1.9's installer stayed in $updates"
click "$EXIT_X" "$EXIT_Y"
expect_exit 30
log "1.9 starts with no message"

"$wine" "$programs/1.9/uninstall.exe" /S {ports_lock}>&- || fail "the uninstaller failed"
wait_until 30 "the uninstall" eval '[ ! -e "$programs/1.9" ]'
[ -f "$programs/notes.txt" ] && [ ! -e "$shortcut" ] && ! registered 1.9 || fail "the uninstall left entries or took the player's file"
log "uninstalled; the player's file stays"

# An install from before versions had folders of their own: the files and
# their record at the top of the install folder, named by the uninstall entry.
cp -R "$windows_build/deploy/." "$programs/"
cp "$windows_build/installed-files.txt" "$programs/"
touch "$programs/uninstall.exe"
"$wine" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZanrokLauncher' /v InstallLocation \
    /d 'C:\users\'"$(id -un)"'\AppData\Local\Programs\Zanrok Launcher' /f >/dev/null 2>&1 {ports_lock}>&-
"$wine" "$programs/zanrok-launcher.exe" >"$work/launcher.log" 2>&1 {ports_lock}>&- &
launcher_pid=$!
announce
expect_exit 60
gone() { [ -z "$(cd "$programs" && ls -A | grep -vx -e 1.9 -e notes.txt)" ]; }
expect_update "the older layout"
log "updated from the older layout; its files removed after 1.9's window"
passed
