#!/usr/bin/env bash
# A manifest the launcher cannot trust: after one good play, the demo network
# comes back unsigned, tampered with, signed by another key, as a replay of an
# older signed manifest, expired, signed for another address, and as other
# bytes under the accepted timestamp. Each play ends with the refusal's status text
# (the run's outcome, from its diagnostics), the play button ready again, no
# file under the game folder written or changed and no game started.
source "$(dirname "$0")/lib.sh"
setup
id=ashford.zanrok.net_22005
export QT_LOGGING_RULES="zanrok.loader=true"
start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
wait_until 60 "the stand-in client to start" launched 1
wait_until_idle
check_installed "$id"

# Names, sizes, times and digests of everything under the game folder but
# the stand-in's own log.
game_folder_state() {
    (cd "$(zanrok_dir)" && find . ! -name ragemp-standin.log -printf '%p %s %T@\n' | sort &&
        find . -type f ! -name ragemp-standin.log -exec md5sum {} + | sort)
}
before=$(game_folder_state)
# The accepted manifest's timestamp and digest, which no refusal changes.
kept=$(cat "$XDG_CONFIG_HOME/Zanrok/Launcher.ini")
ended() { [ "$(grep -c 'load ended:' "$work/launcher.log")" -ge "$1" ]; }

runs=1
for variant in unsigned tampered foreign-key replay expired staging same-second; do
    restart_devnet "$variant"
    requests=$(served | wc -l)
    click "$PLAY_X" "$PLAY_Y"
    runs=$((runs + 1))
    wait_until 60 "the play with $variant to end" ended "$runs"
    wait_until_idle
    outcome=$(grep 'load ended:' "$work/launcher.log" | tail -n 1)
    [ "${outcome#*load ended: }" = "Ошибка проверки списка файлов." ] ||
        fail "$variant: the play ended with '${outcome#*load ended: }'"
    log "$variant: $(grep 'manifest refused:' "$work/launcher.log" | tail -n 1)"
    if message_box_shown; then fail "$variant: a message box: '$(message_box_text)'"; fi
    [ "$(launches)" -eq 1 ] || fail "$variant: the game was started"
    after=$(game_folder_state)
    [ "$before" = "$after" ] || fail "$variant: the game folder changed: $(diff <(echo "$before") <(echo "$after"))"
    [ "$kept" = "$(cat "$XDG_CONFIG_HOME/Zanrok/Launcher.ini")" ] || fail "$variant: the launcher's settings changed"
    # Nothing but the manifest and its signature was asked for.
    asked=$(served | tail -n +$((requests + 1)) | cut -d' ' -f2 | sort -u | tr '\n' ' ')
    [ "$asked" = "/files.json /files.json.minisig " ] || fail "$variant: the play asked for $asked"
done
[ "$(grep -c 'manifest refused:' "$work/launcher.log")" -eq 7 ] || fail "not seven refusals in the diagnostics"
grep -q 'manifest refused: no signature could be fetched' "$work/launcher.log" || fail "unsigned: no reason logged"
grep -q 'manifest refused: the signature does not match the manifest' "$work/launcher.log" || fail "tampered: no reason logged"
grep -q "manifest refused: the signature's key id is not a trusted key" "$work/launcher.log" || fail "foreign-key: no reason logged"
grep -q 'manifest refused: its timestamp [0-9]* is older than' "$work/launcher.log" || fail "replay: no reason logged"
grep -q 'manifest refused: it expired at [0-9]* (' "$work/launcher.log" || fail "expired: no reason logged"
grep -q 'manifest refused: it was signed for http://127.0.0.1:7080/staging/files.json, not' "$work/launcher.log" ||
    fail "staging: no reason logged"
grep -q 'manifest refused: its timestamp [0-9]* is that of the one accepted before, over other bytes' "$work/launcher.log" ||
    fail "same-second: no reason logged"

# A freshly signed manifest plays again.
restart_devnet
click "$PLAY_X" "$PLAY_Y"
wait_until 60 "the stand-in client's second start" launched 2
wait_until_idle
check_launch "$id" ashford.zanrok.net
check_clean_output
passed
