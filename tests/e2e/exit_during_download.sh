#!/usr/bin/env bash
# The exit button while a large file downloads: the launcher ends with status
# 0 once the load has stopped, leaving no partial file in place, no game
# start, and nothing beside the target but a part to resume at the next play
# (with its note) once a MiB or more had arrived.
source "$(dirname "$0")/lib.sh"
setup large
id=ashford.zanrok.net_22005
large=$(zanrok_dir)/client_resources/$id/dlcpacks/zanrok-world
start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
# The download streams into a temporary file in the target's folder, which
# may have no name there (O_TMPFILE): look at the launcher's open files.
download_file=""
partial_written() {
    local fd
    for fd in /proc/"$launcher_pid"/fd/*; do
        case $(readlink "$fd" 2>/dev/null) in
            "$large"/*)
                [ "$(stat -L -c %s "$fd" 2>/dev/null || echo 0)" -gt 0 ] || continue
                download_file=$fd
                return 0 ;;
        esac
    done
    return 1
}
wait_until 60 "the large download to begin" partial_written
log "downloading into $(readlink "$download_file"): $(stat -L -c %s "$download_file") bytes so far"
click "$EXIT_X" "$EXIT_Y"
expect_exit 30
# The web server saw the transfer end early.
cut_short() { served_bytes /SERVER_FILES/dlcpacks/zanrok-world/world.rpf | grep -q .; }
wait_until 10 "the web server to log the large transfer" cut_short
sent=$(served_bytes /SERVER_FILES/dlcpacks/zanrok-world/world.rpf)
full=$(stat -c %s "$work/devnet/www/files/SERVER_FILES/dlcpacks/zanrok-world/world.rpf")
[ "$sent" -lt "$full" ] || fail "the large file was sent whole ($sent bytes)"
log "the transfer stopped after $sent of $full bytes"
check_clean_output
[ ! -e "$large/world.rpf" ] || fail "a partial world.rpf was left"
part=$large/world.rpf.zanrok-download
note=$large/world.rpf.zanrok-resume
if [ -e "$part" ]; then
    [ "$(stat -c %s "$part")" -ge 1048576 ] || fail "a part under a MiB was kept"
    jq -e '.validator | length > 0' "$note" >/dev/null || fail "the kept part has no note"
    cmp -s -n "$(stat -c %s "$part")" "$part" \
        "$work/devnet/www/files/SERVER_FILES/dlcpacks/zanrok-world/world.rpf" \
        || fail "the kept part differs from the file's start"
    log "kept for the next play: $(stat -c %s "$part") bytes"
fi
left=$(find "$large" -type f ! -path "$part" ! -path "$note")
[ -z "$left" ] || fail "left in the download folder: $left"
[ ! -e "$(standin_log)" ] || fail "the game was started"
# Every file that is there is whole.
while read -r path hash; do
    [ ! -e "$path" ] || [ "$(md5sum <"$path" | cut -d' ' -f1)" = "$hash" ] || fail "partial file $path"
done < <(manifest_targets "$id")
stray=$(stray_files "$id" | grep -v -x -e "$part" -e "$note" || true)
[ -z "$stray" ] || fail "stray files: $stray"
passed
