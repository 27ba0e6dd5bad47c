#!/usr/bin/env bash
# Another published version: the message over the window, the download page
# opened once the message is closed, and the launcher goes on running.
source "$(dirname "$0")/lib.sh"
setup version=1.9
start_launcher
wait_for_message_box
main_window_shown || fail "the launcher's window is not on screen behind the message"
expect_message "Вышла новая версия лаунчера."
[ -z "$(opened_urls)" ] || fail "a page was opened before the message was closed: $(opened_urls)"
close_message_box
wait_until 10 "the download page to be opened" test -s "$work/opened.txt"
[ "$(opened_urls)" = "$SITE/download" ] || fail "opened '$(opened_urls)', expected $SITE/download"
log "opened $(opened_urls)"
curl -sSf --cacert "$ZANROK_SOURCE_DIR/devnet/ca/demo-ca.pem" -o /dev/null "$(opened_urls)" ||
    fail "the download page does not answer"
sleep 1
launcher_running || fail "the launcher ended after the message"
main_window_shown || fail "the window is gone after the message"
if message_box_shown; then fail "another message box"; fi
passed
