#!/usr/bin/env bash
# A statistics host that takes the request and never answers: start-up does
# not hang; once the fetch has been idle too long, the failure message comes
# over the window and closing it ends the process with status 0.
source "$(dirname "$0")/lib.sh"
setup stall=/api/stats
start_launcher
wait_for_main_window
if message_box_shown; then fail "a message before the statistics fetch gave up"; fi
wait_for_message_box 90
main_window_shown || fail "the launcher's window is not on screen behind the message"
expect_message "Ошибка получения данных."
close_message_box
expect_exit 15
check_clean_output
passed
