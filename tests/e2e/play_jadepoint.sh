#!/usr/bin/env bash
# Choosing JadePoint from the server menu, then play: entry 9's host, port and
# identifier reach the settings and the stand-in client.
source "$(dirname "$0")/lib.sh"
setup
id=jadepoint.zanrok.net_22005
start_launcher
wait_for_main_window
wait_until_idle
click "$SERVER_BAR_X" "$SERVER_BAR_Y"
wait_until 5 "the server list" server_list_open
read -r from to < <(server_entries | tail -n 1)
log "JadePoint entry at y $from..$to"
click 30 $(((from + to) / 2))
click "$PLAY_X" "$PLAY_Y"
wait_until 60 "the stand-in client to start" launched 1
wait_until_idle
check_installed "$id"
check_launch "$id" jadepoint.zanrok.net
[ ! -e "$(zanrok_dir)/client_resources/ashford.zanrok.net_22005" ] || fail "files went to the first server's folder"
passed
