#!/usr/bin/env bash
# The Windows build under Wine (Debian's wine64, a fresh prefix) on Xvfb,
# against the demo network serving the Windows stand-in as ragemp_v.exe: the
# silent install (the version's folder, the shortcut's working folder, an
# install again removing what the earlier one recorded and this one lacks),
# the window (size, no frame,
# colours, Manrope faces), play (RageMP installed into C:/Games/Zanrok, closed
# to other accounts as far as Wine keeps access lists, the server's files with
# one whose path is over 260 characters, the launch values in the registry, the stand-in
# started with the server's identifier in that folder), a second start handed
# over, a device name in the manifest refused, the exit, the uninstall.
# Without the Qt kit for Windows there is no Windows build: skipped (77).
# ZANROK_WINE_SCREENSHOT=FILE keeps the screen after play (the README's picture).
set -euo pipefail
: "${ZANROK_SOURCE_DIR:?}"
windows_build=${ZANROK_WINDOWS_BUILD_DIR:-$ZANROK_SOURCE_DIR/build-windows}
kit=${ZANROK_WINDOWS_KIT:-$ZANROK_SOURCE_DIR/../shared/windows}
[ -d "$kit" ] && kit=$kit/qt5.15.8-mingw-x86_64.tar.xz
if [ ! -f "$kit" ]; then
    echo "wine_play: no Qt kit for Windows at $kit, so no Windows build to run: skipped"
    exit 77
fi
if [ ! -f "$windows_build/ZanrokLauncherSetup.exe" ]; then
    echo "wine_play: building for Windows first (scripts/build-windows)"
    ZANROK_WINDOWS_BUILD_DIR=$windows_build ZANROK_WINDOWS_KIT=$kit \
        "$ZANROK_SOURCE_DIR/scripts/build-windows" >/dev/null
fi
# The devnet serves the Windows stand-in with the DLLs it needs beside it.
export ZANROK_STANDIN=$windows_build/standin-deploy
source "$(dirname "$0")/lib.sh"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine" ] || fail "wine64 is missing (scripts/install-deps windows installs it)"

# Under Wine, Schannel finds no CA in the list the launcher gives it, and
# checks no RSA signature (README, "Windows under Wine"): the TLS hosts send
# their ECDSA certificate followed by its CA, which the launcher's built-in
# CA list makes trusted.
setup ca-chain long-path
unset QT_QPA_PLATFORM QT_QUICK_BACKEND
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'status=$?; set +e; "$wineserver" -k; (exit $status); cleanup' EXIT

log "making a fresh Wine prefix"
"$wine" wineboot -i >"$work/wineboot.log" 2>&1 {ports_lock}>&- || fail "wineboot: $(tail -n 3 "$work/wineboot.log")"
drive_c=$WINEPREFIX/drive_c
profile=$drive_c/users/$(id -un)
# Each version in a folder of its own.
version=$(sed -n 's/^ZANROK_LAUNCHER_VERSION:INTERNAL=//p' "$windows_build/CMakeCache.txt")
programs="$profile/AppData/Local/Programs/Zanrok Launcher/$version"
"$wine" "$windows_build/ZanrokLauncherSetup.exe" /S {ports_lock}>&- || fail "the installer failed"
[ -f "$programs/zanrok-launcher.exe" ] || fail "nothing installed in $programs"
shortcut="$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Zanrok Launcher.lnk"
[ -f "$shortcut" ] || fail "no Start-menu entry"
# The shortcut holds the full folder name once, in UTF-16LE: its working
# folder (Wine ends it with a NUL; the target path is elsewhere in ANSI).
hex() { od -An -tx1 -v | tr -d ' \n'; }
folder='C:\users\'"$(id -un)"'\AppData\Local\Programs\Zanrok Launcher\'"$version"
[[ "$(hex <"$shortcut")" == *"$(printf '%s\0' "$folder" | iconv -t UTF-16LE | hex)"* ]] ||
    fail "the shortcut does not start in $folder"
log "installed: $(find "$programs" -type f | wc -l) files in $programs"

# Installed again over an earlier install of the version: files it recorded
# and this one does not ship go, with their folders if emptied; the player's
# own and whatever a record line names outside the folder stay.
mkdir -p "$programs/plugins/old"
touch "$programs/plugins/old/gone.dll" "$programs/old.dll" "$programs/notes.txt" "$programs/../outside.txt"
printf '%s\r\n' 'plugins\old\gone.dll' old.dll '..\outside.txt' '*.txt' >>"$programs/installed-files.txt"
"$wine" "$windows_build/ZanrokLauncherSetup.exe" /S {ports_lock}>&- || fail "the upgrade failed"
[ ! -e "$programs/plugins/old" ] && [ ! -e "$programs/old.dll" ] || fail "the upgrade left the earlier version's files"
[ -f "$programs/notes.txt" ] && [ -f "$programs/../outside.txt" ] && [ -f "$programs/qt.conf" ] ||
    fail "the upgrade removed what it did not install"
rm "$programs/notes.txt"
cmp -s "$programs/installed-files.txt" "$windows_build/installed-files.txt" || fail "the upgrade's record is not its file list"
log "upgraded over a recorded earlier version"

# The harness's view of the game folder and the launcher, under Wine.
zanrok_dir() { echo "$drive_c/Games/Zanrok"; }
# (Every Wine process of the test shares one environment: with another
# TMPDIR, Wine starts a second wineserver with its own copy of the registry.)
start_launcher() {
    "$wine" "$programs/zanrok-launcher.exe" >"$work/launcher.log" 2>&1 {ports_lock}>&- &
    launcher_pid=$!
    log "launcher started under Wine (pid $launcher_pid)"
}

start_launcher
wait_for_main_window
# No frame: the X window is the scene's size (a Windows caption would be
# drawn inside it), and Wine asks for no decorations.
# (_MOTIF_WM_HINTS: flags, functions, decorations, ...)
hints=$(xprop -id "$main_window" _MOTIF_WM_HINTS 2>/dev/null || true)
[ "$(sed -n 's/.* = //p' <<<"$hints" | cut -d, -f3 | tr -d ' ')" = 0x0 ] ||
    fail "the window asks for decorations: $hints"
wait_until 30 "the version fetch" grep -q 'GET /LAUNCHER_FILES/ver.txt' "$work/devnet/logs/access.log"
wait_until 10 "the first news title" news_title_drawn
online_total_drawn || fail "no online total drawn (statistics over HTTPS)"
if message_box_shown; then fail "message at start: '$(message_box_text)'"; fi
for point in "0 0 #05070E" "1268 3 #C04749" "1200 100 #0A4BAD" "640 720 #1F242C"; do
    read -r x y colour <<<"$point"
    [ "$(pixel "$x" "$y" | tr a-f A-F)" = "$colour" ] || fail "pixel ($x,$y) is $(pixel "$x" "$y"), not $colour"
done
wait_until_idle

# The Manrope faces: where the texts end, as on Linux (fontconfig) within
# a few pixels; another face or a fallback font ends elsewhere.
near() { # expected actual tolerance
    local d=$(($1 - $2))
    [ ${d#-} -le "$3" ]
}
expect_bands() { # what "from to;..." actual
    local want=$2 got=$3 i
    local -a w g
    IFS=';' read -ra w <<<"$want"
    IFS=';' read -ra g <<<"$got"
    [ ${#w[@]} -eq ${#g[@]} ] || fail "$1: ${#g[@]} runs of text ($got), expected ${#w[@]} ($want)"
    for i in "${!w[@]}"; do
        read -r wf wt <<<"${w[$i]}"
        read -r gf gt <<<"${g[$i]}"
        near "$wf" "$gf" 4 && near "$wt" "$gt" 4 || fail "$1: text at $got, expected $want"
    done
    log "$1 drawn where Linux draws it: $got"
}
bands() { bright_bands "$@" | paste -sd';'; }
expect_bands "bold title" "23 149" "$(bands x 10 120 400 40 60)"
expect_bands "light title" "22 189" "$(bands x 10 170 400 40 60)"
expect_bands "medium header links" "182 246;269 400;423 489;512 562;585 647;670 746" "$(bands x 181 28 1000 22 35)"

click "$PLAY_X" "$PLAY_Y"
wait_until 90 "the stand-in client to start" launched 1
wait_until_idle
if message_box_shown; then fail "message during the load: '$(message_box_text)'"; fi
id=ashford.zanrok.net_22005
while read -r path hash; do
    [ -f "$path" ] || fail "missing after the load: $path"
    [ "$(md5sum <"$path" | cut -d' ' -f1)" = "$hash" ] || fail "wrong content: $path"
done < <(manifest_targets "$id")
cmp -s "$ZANROK_STANDIN/ragemp-standin.exe" "$(zanrok_dir)/ragemp_v.exe" || fail "ragemp_v.exe is not the stand-in"
long=$(manifest_targets "$id" | awk 'length($1) > max { max = length($1); path = $1 } END { print path }')
windows_long="C:/Games/Zanrok/${long#"$(zanrok_dir)/"}"
[ ${#windows_long} -gt 260 ] || fail "the longest path is only ${#windows_long} characters"
log "$(manifest_targets "$id" | wc -l) files in place, one at ${#windows_long} characters"
[ -z "$(stray_files "$id")" ] || fail "stray files: $(stray_files "$id")"
# Wine keeps of an access list only the owner's and everyone's rights, as
# file modes: the folders the launcher made give others none.
for made in "$drive_c/Games" "$(zanrok_dir)"; do
    [ $((8#$(stat -c %a "$made") & 7)) -eq 0 ] || fail "$made is open to others: $(stat -c %A "$made")"
done

# The stand-in's record: its one argument and working folder, the values it read.
[ "$(standin_value arguments)" = "[\"$id\"]" ] || fail "stand-in arguments $(standin_value arguments)"
[ "$(standin_value workingDirectory)" = "C:/Games/Zanrok" ] ||
    fail "working directory $(standin_value workingDirectory)"
# The registry, read by Windows' own reg.exe.
reg_query() { "$wine" reg query 'HKCU\Software\RAGE-MP' >"$work/reg.txt" 2>&1 {ports_lock}>&-; }
wait_until 20 "reg query of HKCU\\Software\\RAGE-MP" reg_query
for value in "rage_path C:/Games/Zanrok" "launch.ip ashford.zanrok.net" "launch.port 22005" \
             "launch2.ip ashford.zanrok.net" "launch2.port 22005"; do
    read -r name data <<<"$value"
    tr -d '\r' <"$work/reg.txt" | awk -v n="$name" -v d="$data" '$1 == n && $2 == "REG_SZ" && $3 == d { f = 1 } END { exit !f }' ||
        fail "the registry lacks $name = $data (REG_SZ): $(cat "$work/reg.txt")"
    [ "$(standin_value "$name")" = "$data" ] || fail "the stand-in read $name = '$(standin_value "$name")'"
done
log "registry and stand-in: $id in C:/Games/Zanrok, ashford.zanrok.net:22005"
# The signed manifest's timestamp and digest, kept in the launcher's own key.
"$wine" reg query 'HKCU\Software\Zanrok\Launcher\ManifestTimestamps' >"$work/reg-launcher.txt" 2>&1 {ports_lock}>&- ||
    fail "no HKCU\\Software\\Zanrok\\Launcher\\ManifestTimestamps: $(cat "$work/reg-launcher.txt")"
tr -d '\r' <"$work/reg-launcher.txt" | awk '$1 ~ /files\.json$/ && $2 == "REG_SZ" && $3 ~ /^[0-9]+$/ { f = 1 } END { exit !f }' ||
    fail "no manifest timestamp in the launcher's key: $(cat "$work/reg-launcher.txt")"
"$wine" reg query 'HKCU\Software\Zanrok\Launcher\ManifestDigests' >"$work/reg-launcher.txt" 2>&1 {ports_lock}>&- ||
    fail "no HKCU\\Software\\Zanrok\\Launcher\\ManifestDigests: $(cat "$work/reg-launcher.txt")"
tr -d '\r' <"$work/reg-launcher.txt" | awk '$1 ~ /files\.json$/ && $2 == "REG_SZ" && $3 ~ /^[0-9a-f]+$/ && length($3) == 128 { f = 1 } END { exit !f }' ||
    fail "no manifest digest in the launcher's key: $(cat "$work/reg-launcher.txt")"
standin_window_shown() { xdotool search --onlyvisible --name '^RageMP$' >/dev/null; }
wait_until 30 "the stand-in's window" standin_window_shown
sleep 0.5
if [ -n "${ZANROK_WINE_SCREENSHOT:-}" ]; then
    import -window root "$ZANROK_WINE_SCREENSHOT"
    log "screen kept in $ZANROK_WINE_SCREENSHOT"
fi

# A second start hands over to the first and ends at once with status 0.
news_requests=$(served | grep -c '^GET /api/news ')
second_status=0
timeout 30 "$wine" "$programs/zanrok-launcher.exe" >"$work/second.log" 2>&1 {ports_lock}>&- || second_status=$?
[ "$second_status" -eq 0 ] || fail "second start: exit status $second_status"
[ "$(served | grep -c '^GET /api/news ')" -eq "$news_requests" ] || fail "the second start fetched the news"
[ "$(xdotool search --onlyvisible --name "^$MAIN_TITLE\$" | wc -l)" -eq 1 ] || fail "not one launcher window"
launcher_running || fail "the first launcher ended"
log "a second start handed over"

# A manifest that lists nul.txt: refused, nothing fetched for it, no game start.
restart_devnet ca-chain long-path device-name
requests=$(served | wc -l)
click "$PLAY_X" "$PLAY_Y"
wait_until 60 "the manifest fetch" eval '[ "$(served | tail -n +$((requests + 1)) | grep -c "^GET /files.json ")" -ge 1 ]'
wait_until_idle
sleep 1
[ "$(launches)" -eq 1 ] || fail "the game was started with a device name in the manifest"
! served | grep -q 'nul.txt' || fail "nul.txt was requested"
[ ! -e "$(zanrok_dir)/client_resources/$id/maps/nul.txt" ] || fail "nul.txt was written"
log "the device name was refused"

# A manifest changed after its signing: refused before anything in it is
# fetched or written, and no game start. (The status text is the Linux
# tests' to check: under Wine the diagnostics reach no standard error.)
game_folder_state() {
    (cd "$(zanrok_dir)" && find . ! -name '*.log' -printf '%p %s %T@\n' | sort)
}
before=$(game_folder_state)
restart_devnet ca-chain tampered
requests=$(served | wc -l)
click "$PLAY_X" "$PLAY_Y"
signature_asked() { served | tail -n +$((requests + 1)) | grep -q '^GET /files.json.minisig '; }
wait_until 60 "the manifest's signature fetch" signature_asked
wait_until_idle
sleep 1
[ "$(launches)" -eq 1 ] || fail "the game was started from a tampered manifest"
[ "$before" = "$(game_folder_state)" ] || fail "the game folder changed under a tampered manifest"
asked=$(served | tail -n +$((requests + 1)) | cut -d' ' -f2 | sort -u | tr '\n' ' ')
[ "$asked" = "/files.json /files.json.minisig " ] || fail "the tampered play asked for $asked"
log "a tampered manifest was refused"

click "$EXIT_X" "$EXIT_Y"
expect_exit 30

# The uninstaller removes what was installed, not the game or its settings.
"$wine" "$programs/uninstall.exe" /S {ports_lock}>&- || fail "the uninstaller failed"
wait_until 30 "the uninstall" eval '[ ! -e "$programs" ]'
[ ! -e "$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Zanrok Launcher.lnk" ] ||
    fail "the Start-menu entry stayed"
[ -f "$(zanrok_dir)/ragemp_v.exe" ] || fail "the uninstaller removed RageMP"
"$wine" reg query 'HKCU\Software\RAGE-MP' >/dev/null 2>&1 {ports_lock}>&- || fail "the uninstaller removed RageMP's settings"
log "uninstalled; RageMP and its settings stay"
passed
