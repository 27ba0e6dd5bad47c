#!/usr/bin/env bash
# A 16-byte file sent as a 130 KB gzip body that unpacks to 128 MiB (variant
# bomb), then as a body without end (endless): each play ends with "Ошибка
# загрузки файла:" + the file, nothing in its place, no game start, and the
# temporary file, watched while the play runs, never past the size and a
# read chunk.
source "$(dirname "$0")/lib.sh"
setup bomb
id=ashford.zanrok.net_22005
maps=$(zanrok_dir)/client_resources/$id/maps
export QT_LOGGING_RULES="zanrok.loader=true"
start_launcher
wait_for_main_window
wait_until_idle
runs=0
for variant in bomb endless; do
    [ "$variant" = bomb ] || restart_devnet "$variant"
    part=$maps/$variant.bin.zanrok-download
    largest=0
    echo 0 >"$work/largest"
    while kill -0 "$launcher_pid" 2>/dev/null; do
        now=$(stat -c %s "$part" 2>/dev/null || echo 0)
        [ "$now" -le "$largest" ] || { largest=$now; echo "$now" >"$work/largest"; }
    done {ports_lock}>&- &
    watcher=$!
    click "$PLAY_X" "$PLAY_Y"
    runs=$((runs + 1))
    wait_until 120 "the play with $variant to end" loads_ended "$runs"
    kill "$watcher" 2>/dev/null || true
    wait_until_idle
    [ "$(load_outcome)" = "Ошибка загрузки файла:maps/$variant.bin" ] || fail "$variant: the play ended with '$(load_outcome)'"
    if message_box_shown; then fail "$variant: a message box: '$(message_box_text)'"; fi
    [ "$(cat "$work/largest")" -le $((16 + 256 * 1024)) ] || fail "$variant: the temporary file reached $(cat "$work/largest") bytes"
    [ ! -e "$maps/$variant.bin" ] && [ -z "$(stray_files "$id")" ] || fail "$variant: left $(stray_files "$id")"
    [ "$(launches)" -eq 0 ] || fail "$variant: the game was started"
    log "$variant: refused; the temporary file held at most $(cat "$work/largest") bytes"
done
[ "$(grep -c "runs past the manifest's size of 16 bytes" "$work/launcher.log")" -ge 2 ] ||
    fail "the diagnostics do not say the bodies ran past the size"
check_clean_output
passed
