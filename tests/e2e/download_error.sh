#!/usr/bin/env bash
# A manifest file the host does not have: the download's network error comes
# in a message box over the window (shown by the GUI thread), the load ends
# without a game start, and the launcher stays usable.
source "$(dirname "$0")/lib.sh"
setup missing
start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
wait_for_message_box 60
main_window_shown || fail "the launcher's window is gone"
text=$(message_box_text)
case $text in
    *"127.0.0.1:7080/SERVER_FILES/maps/removed.txt"*"Not Found"*) log "message box says '$text'" ;;
    *) fail "message box says '$text', expected the download's error" ;;
esac
close_message_box
wait_until_idle
launcher_running || fail "the launcher ended"
[ ! -e "$(standin_log)" ] || fail "the game was started after a failed download"
[ ! -e "$(zanrok_dir)/client_resources/ashford.zanrok.net_22005/maps/removed.txt" ] || fail "a file was written"
check_clean_output
passed
