#!/usr/bin/env bash
# The exit button while a large file downloads: the launcher ends with status
# 0 once the load has stopped, leaving no partial or temporary file and no
# game start.
source "$(dirname "$0")/lib.sh"
require_scene
require_loader
setup large
id=ashford.zanrok.net_22005
large=$(zanrok_dir)/client_resources/$id/dlcpacks/zanrok-world
start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
partial_written() { [ -n "$(find "$large" -type f -size +0 2>/dev/null)" ]; }
wait_until 60 "the large download to begin" partial_written
log "downloading: $(find "$large" -type f -printf '%f %s bytes\n')"
click "$EXIT_X" "$EXIT_Y"
expect_exit 30
check_clean_output
[ ! -e "$large/world.rpf" ] || fail "a partial world.rpf was left"
[ -z "$(find "$large" -type f)" ] || fail "left in the download folder: $(find "$large" -type f)"
[ ! -e "$(standin_log)" ] || fail "the game was started"
# Every file that is there is whole.
while read -r path hash; do
    [ ! -e "$path" ] || [ "$(md5sum <"$path" | cut -d' ' -f1)" = "$hash" ] || fail "partial file $path"
done < <(manifest_targets "$id")
[ -z "$(stray_files "$id")" ] || fail "stray files: $(stray_files "$id")"
passed
