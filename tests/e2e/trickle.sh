#!/usr/bin/env bash
# A file sent four bytes at a time, 20 s apart (variant trickle): never
# silent for the 30 s that end an idle transfer, far below 1 KiB/s. Each try
# is cut after 30 s and tried again; the play ends within the file's bounds
# (its tries, or a minute without a new byte) with the transfer's error in a
# box and "Ошибка загрузки файла:" + the file, nothing in place, no game.
source "$(dirname "$0")/lib.sh"
setup trickle
id=ashford.zanrok.net_22005
url=http://127.0.0.1:7080/SERVER_FILES/maps/roads.txt
export QT_LOGGING_RULES="zanrok.loader=true"
start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
wait_for_message_box 150 # four tries of 30 s and their waits at most
[[ "$(message_box_text)" == *canceled* ]] || fail "message box says '$(message_box_text)'"
close_message_box
wait_until 10 "the play to end" loads_ended 1
wait_until_idle
[ "$(load_outcome)" = "Ошибка загрузки файла:maps/roads.txt" ] || fail "the play ended with '$(load_outcome)'"
# The launcher's own account: nginx logs an aborted request only at its next write.
cuts=$(grep -c "GET $url carries less than the least rate; cut" "$work/launcher.log" || true)
tries=$(grep -c "GET $url try " "$work/launcher.log" || true)
[ "$cuts" -ge 2 ] && [ "$tries" -eq "$cuts" ] || fail "$tries tries, $cuts cut for their rate"
carried=$(sed -n "s|.*GET $url -> 200 \([0-9]*\) bytes in \([0-9]*\) ms.*|\1 bytes in \2 ms|p" "$work/launcher.log")
awk '$1 > 1024 { exit 1 }' <<<"$carried" || fail "a try carried more than the trickle: $carried"
log "$tries tries, each cut: $(tr '\n' ';' <<<"$carried")"
[ -z "$(stray_files "$id")" ] && [ ! -e "$(zanrok_dir)/client_resources/$id/maps/roads.txt" ] ||
    fail "left: $(stray_files "$id")"
[ "$(launches)" -eq 0 ] || fail "the game was started"
check_clean_output
passed
