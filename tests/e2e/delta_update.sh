#!/usr/bin/env bash
# A new version of a large file after a play: the second play fetches the
# file's zsync sidecar and, with range requests, only the blocks the old copy
# lacks (far less than the file), ends with the new digest and no temporary
# file, and starts the game.
source "$(dirname "$0")/lib.sh"
setup large
id=ashford.zanrok.net_22005
world=/SERVER_FILES/dlcpacks/zanrok-world/world.rpf
start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
# 48 MiB at 1 MiB/s.
wait_until 90 "the stand-in client to start" launched 1
wait_until_idle
check_installed "$id"

restart_devnet large changed
first_request=$(( $(wc -l <"$work/devnet/logs/access.log") + 1 ))
click "$PLAY_X" "$PLAY_Y"
wait_until 60 "the second start of the stand-in" launched 2
wait_until_idle
if message_box_shown; then fail "message during the load: '$(message_box_text)'"; fi
check_installed "$id"
[ -z "$(stray_files "$id")" ] || fail "stray files: $(stray_files "$id")"
check_launch "$id" ashford.zanrok.net

second=$(served_since "$first_request")
log "the second play requested:"$'\n'"$(awk '{ print "    " $0 }' <<<"$second")"
grep -qx "$world.zsync 200 - [0-9]*" <<<"$second" || fail "the sidecar was not fetched"
file_requests=$(awk -v p="$world" '$1 == p' <<<"$second")
[ -n "$file_requests" ] || fail "nothing of the large file was fetched"
awk '$2 != 206 || $3 !~ /^bytes=/ { exit 1 }' <<<"$file_requests" ||
    fail "the large file was fetched other than by ranges: $file_requests"
sent=$(awk -v p="$world" '$1 == p || $1 == p ".zsync" { s += $4 } END { print s + 0 }' <<<"$second")
full=$(stat -c %s "$work/devnet/www/files$world")
[ "$sent" -lt $((4 * 1024 * 1024)) ] || fail "the host sent $sent bytes for the $full-byte file"
log "the host sent $sent bytes for the $full-byte file, sidecar included," \
    "in $(wc -l <<<"$file_requests") range requests"
passed
