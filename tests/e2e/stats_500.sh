#!/usr/bin/env bash
# Statistics answering 500: the message over the loaded window, then status 0.
source "$(dirname "$0")/lib.sh"
setup stats-500
start_launcher
wait_for_message_box
main_window_shown || fail "the launcher's window is not on screen behind the message"
served | grep -qx "GET /api/stats 500" || fail "the statistics were not asked for"
expect_message "Ошибка получения данных."
close_message_box
expect_exit 15
check_clean_output
passed
