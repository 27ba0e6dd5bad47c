#!/usr/bin/env bash
# The game folder on a 1 MiB tmpfs, less than RageMP and the server's files
# need: the play ends with "Недостаточно места на диске." (the run's outcome
# in its diagnostics, with the bytes needed and free) before anything is
# written there, and no game starts. Mounting needs root, as in CI; where the
# test may not mount, it is skipped (status 77) and the loader's rows with a
# given free-space figure stand in.
source "$(dirname "$0")/lib.sh"
probe=$(mktemp -d "${TMPDIR:-/tmp}/zanrok-mount.XXXXXX")
if ! mount -t tmpfs -o size=1m tmpfs "$probe" 2>/dev/null; then
    rmdir "$probe"
    echo "SKIP: a tmpfs cannot be mounted here (not root?); tst_loaderrun covers the check" >&2
    exit 77
fi
umount "$probe"
rmdir "$probe"

setup
game=$(zanrok_dir)
mkdir -p "$game"
mount -t tmpfs -o size=1m tmpfs "$game" || fail "mount"
# Unmounted before the harness's own cleanup, which is handed the status.
trap 'rc=$?; set +e; umount -l "$game"; (exit $rc); cleanup' EXIT
export QT_LOGGING_RULES="zanrok.loader=true"
start_launcher
wait_for_main_window
wait_until_idle
click "$PLAY_X" "$PLAY_Y"
wait_until 60 "the play to end" grep -q 'load ended:' "$work/launcher.log"
wait_until_idle
outcome=$(grep 'load ended:' "$work/launcher.log" | tail -n 1)
[ "${outcome#*load ended: }" = "Недостаточно места на диске." ] || fail "the play ended with '${outcome#*load ended: }'"
grep -q "not enough room for the files to fetch into $game : [0-9]* bytes needed, [0-9]* free" "$work/launcher.log" ||
    fail "the diagnostics do not say how much is needed and free"
log "$(grep 'not enough room' "$work/launcher.log")"
written=$(find "$game" -mindepth 1)
[ -z "$written" ] || fail "written on the small disk: $written"
fetched=$(served | grep -E ' /(RAGEMP|SERVER)_FILES/' || true)
[ -z "$fetched" ] || fail "files were fetched: $fetched"
if message_box_shown; then fail "a message box: '$(message_box_text)'"; fi
check_clean_output
passed
