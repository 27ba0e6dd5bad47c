#!/usr/bin/env bash
# Play with the first server: the stand-in client is installed, the server's
# files are synchronised, the launch values written and the stand-in started.
# A second play then downloads nothing. The demo network signs its manifest
# and the default build checks it, so all of this runs with the check.
source "$(dirname "$0")/lib.sh"
setup
id=ashford.zanrok.net_22005
start_launcher
wait_for_main_window
wait_until_idle
play_expecting_start "$id" 1 "the load"
check_launch "$id" ashford.zanrok.net
# Text files came as stored, though the host compresses for clients that ask:
# the launcher asks for identity (digests above).
grep -q 'GET /SERVER_FILES/packages/core/index.js 200' <(served) || fail "index.js was not downloaded"
screenshot after-first-play

# Second play: every file is current, so only the manifest and its signature
# are fetched.
before=$(find "$(zanrok_dir)" -type f ! -name ragemp-standin.log -printf '%P %T@\n' | sort)
requests=$(served | wc -l)
click "$PLAY_X" "$PLAY_Y"
wait_until 60 "the second start of the stand-in" launched 2
wait_until_idle
after=$(find "$(zanrok_dir)" -type f ! -name ragemp-standin.log -printf '%P %T@\n' | sort)
[ "$before" = "$after" ] || fail "files changed by the second play: $(diff <(echo "$before") <(echo "$after"))"
second=$(served | tail -n +$((requests + 1)))
[ "$second" = "GET /files.json 200"$'\n'"GET /files.json.minisig 200" ] || fail "the second play requested: $second"
check_launch "$id" ashford.zanrok.net
passed
