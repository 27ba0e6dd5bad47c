#!/usr/bin/env bash
# A file of 16 bytes that the host sends far longer: as 128 MiB of zeros in
# a 130 KB gzip body (variant bomb), then as a body without end (endless).
# Each play ends with "Ошибка загрузки файла:" + the file (the run's outcome
# in its diagnostics), nothing in its place, no game start, and the
# temporary file, watched while the play runs, never holds more than the
# file's size and one read chunk.
source "$(dirname "$0")/lib.sh"
setup bomb
id=ashford.zanrok.net_22005
maps=$(zanrok_dir)/client_resources/$id/maps
export QT_LOGGING_RULES="zanrok.loader=true"
start_launcher
wait_for_main_window
wait_until_idle
ended() { [ "$(grep -c 'load ended:' "$work/launcher.log")" -ge "$1" ]; }

runs=0
for variant in bomb endless; do
    [ "$variant" = bomb ] || restart_devnet "$variant"
    file=$variant.bin
    size=$(jq --arg f "SERVER_FILES/maps/$file" '.[] | select(.file == $f) | .size' "$work/devnet/www/files/files.json")
    echo 0 >"$work/largest"
    (
        largest=0
        while kill -0 "$launcher_pid" 2>/dev/null; do
            now=$(stat -c %s "$maps/$file.zanrok-download" 2>/dev/null || echo 0)
            if [ "$now" -gt "$largest" ]; then largest=$now; echo "$now" >"$work/largest"; fi
        done
    ) {ports_lock}>&- &
    watcher=$!
    click "$PLAY_X" "$PLAY_Y"
    runs=$((runs + 1))
    wait_until 120 "the play with $variant to end" ended "$runs"
    kill "$watcher"
    wait "$watcher" 2>/dev/null || true
    wait_until_idle
    outcome=$(grep 'load ended:' "$work/launcher.log" | tail -n 1)
    [ "${outcome#*load ended: }" = "Ошибка загрузки файла:maps/$file" ] ||
        fail "$variant: the play ended with '${outcome#*load ended: }'"
    if message_box_shown; then fail "$variant: a message box: '$(message_box_text)'"; fi
    largest=$(cat "$work/largest")
    [ "$largest" -le $((size + 256 * 1024)) ] || fail "$variant: the temporary file reached $largest bytes"
    [ ! -e "$maps/$file" ] || fail "$variant: a file was put in place"
    [ -z "$(stray_files "$id")" ] || fail "$variant: stray files: $(stray_files "$id")"
    [ "$(launches)" -eq 0 ] || fail "$variant: the game was started"
    log "$variant: refused; the temporary file held at most $largest bytes for a $size-byte file"
done
[ "$(grep -c "runs past the manifest's size of 16 bytes" "$work/launcher.log")" -ge 2 ] ||
    fail "the diagnostics do not say the bodies ran past the size"
check_clean_output
passed
