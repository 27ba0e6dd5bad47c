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
play_expecting_start "$id" 2 "the load"
check_launch "$id" ashford.zanrok.net

expect_delta_update "$first_request" "$world"
log "the large file is $(stat -c %s "$work/devnet/www/files$world") bytes"
passed
