#!/usr/bin/env bash
# The game folder on a 1 MiB tmpfs, less than RageMP and the server's files
# need: the play ends with "Недостаточно места на диске." before anything is
# fetched or written there, the diagnostics giving the bytes needed and free.
# Mounting needs root, as in CI; where it is not allowed the test is skipped
# (77), and tst_loaderrun's row with a given free-space figure stands in.
source "$(dirname "$0")/lib.sh"
probe=$(mktemp -d "${TMPDIR:-/tmp}/zanrok-mount.XXXXXX")
mount -t tmpfs -o size=1m tmpfs "$probe" 2>/dev/null && umount "$probe" ||
    { rmdir "$probe"; echo "SKIP: a tmpfs cannot be mounted here" >&2; exit 77; }
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
wait_until 60 "the play to end" loads_ended 1
wait_until_idle
[ "$(load_outcome)" = "Недостаточно места на диске." ] || fail "the play ended with '$(load_outcome)'"
grep "not enough room for the files to fetch into $game : [0-9]* bytes needed, [0-9]* free" "$work/launcher.log" ||
    fail "the diagnostics do not say how much is needed and free"
[ -z "$(find "$game" -mindepth 1)" ] || fail "written on the small disk: $(find "$game" -mindepth 1)"
! served | grep -E ' /(RAGEMP|SERVER)_FILES/' || fail "files were fetched"
if message_box_shown; then fail "a message box: '$(message_box_text)'"; fi
check_clean_output
passed
