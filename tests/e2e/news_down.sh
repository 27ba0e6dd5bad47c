#!/usr/bin/env bash
# News host down: the message comes before any launcher window, and closing
# it ends the process with status 0.
source "$(dirname "$0")/lib.sh"
setup news-down
start_launcher
wait_for_message_box
[ -z "$(find_main_window)" ] || fail "the launcher's window is on screen behind the message"
[ "$(launcher_windows | wc -l)" -eq 1 ] || fail "more than the message box is on screen"
expect_message "Ошибка получения данных."
close_message_box
expect_exit 15
check_clean_output
passed
