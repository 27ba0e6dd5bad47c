#!/usr/bin/env bash
# The exit button when no load runs ends the launcher with status 0.
source "$(dirname "$0")/lib.sh"
setup
start_launcher
wait_for_main_window
wait_until 30 "the version fetch" grep -q 'GET /LAUNCHER_FILES/ver.txt' "$work/devnet/logs/access.log"
click "$EXIT_X" "$EXIT_Y"
expect_exit 10
check_clean_output
passed
