#!/usr/bin/env bash
# A proxy on the way to the file host swaps ragemp_v.exe for its own program
# and rewrites the manifest's digest to match, passing the signature on as it
# was. On a fresh machine, where RageMP would be installed from the manifest,
# the play is refused before anything is fetched or written: no game folder,
# no program started.
source "$(dirname "$0")/lib.sh"
setup rewritten
export QT_LOGGING_RULES="zanrok.loader=true"
# The attack is consistent: the swapped program matches the rewritten digest.
swapped=$(curl -s http://127.0.0.1:7080/RAGEMP_FILES/ragemp_v.exe | md5sum | cut -d' ' -f1)
listed=$(curl -s http://127.0.0.1:7080/files.json | jq -r '.[] | select(.file == "RAGEMP_FILES/ragemp_v.exe") | .hash')
[ "$swapped" = "$listed" ] || fail "the proxy's manifest does not list its program's digest"
: >"$work/devnet/logs/access.log"

start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
ended() { grep -q 'load ended:' "$work/launcher.log"; }
wait_until 60 "the play to end" ended
wait_until_idle
outcome=$(grep 'load ended:' "$work/launcher.log")
[ "${outcome#*load ended: }" = "Ошибка проверки списка файлов." ] || fail "the play ended with '${outcome#*load ended: }'"
grep -q 'manifest refused: the signature does not match the manifest' "$work/launcher.log" ||
    fail "no reason in the diagnostics"
[ ! -e "$(zanrok_dir)" ] || fail "the game folder was made: $(find "$(zanrok_dir)")"
[ ! -e "$HOME/rewritten-client-ran" ] || fail "the proxy's program ran"
[ ! -e "$(settings_file)" ] || fail "RageMP's settings were written"
asked=$(served | grep -v -E ' /(api|LAUNCHER_FILES)/' | cut -d' ' -f2 | sort -u | tr '\n' ' ')
[ "$asked" = "/files.json /files.json.minisig " ] || fail "the play asked for $asked"
check_clean_output
passed
