#!/usr/bin/env bash
# Start-up against the demo network: the window appears after the three
# fetches, the news and the online total reach the screen, no message is shown.
source "$(dirname "$0")/lib.sh"
setup
start_launcher
wait_for_main_window
wait_until 30 "the version fetch" grep -q 'GET /LAUNCHER_FILES/ver.txt' "$work/devnet/logs/access.log"
for request in "GET /api/news 200" "GET /api/stats 200" "GET /LAUNCHER_FILES/ver.txt 200"; do
    served | grep -qx "$request" || fail "not served: $request"
done
sleep 1 # a message box, if any, would be on screen by now
if message_box_shown; then fail "unexpected message box: '$(message_box_text)'"; fi
launcher_running || fail "the launcher ended"
[ -z "$(opened_urls)" ] || fail "opened at start: $(opened_urls)"

amber=$(amber_title_pixels)
[ "$amber" -gt 50 ] || fail "no amber news title at (20,548) ($amber pixels)"
log "first news title drawn ($amber amber pixels)"
online_total_drawn || fail "no online total drawn"
log "online total drawn"
screenshot startup
passed
