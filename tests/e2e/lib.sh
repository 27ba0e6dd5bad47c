# Shared harness of the end-to-end tests: the real launcher under Xvfb, the
# real demo network (nginx), xdotool for the player's clicks.
#
# Each test gets its own HOME and XDG_CONFIG_HOME in a temporary folder and an
# xdg-open first on PATH that records the addresses the launcher opens.
# From CTest: ZANROK_LAUNCHER, ZANROK_STANDIN, ZANROK_DEVNET, ZANROK_SOURCE_DIR.
# scripts/screenshot takes the README's pictures through it too.
# shellcheck shell=bash
set -euo pipefail

: "${ZANROK_LAUNCHER:?path of zanrok-launcher}"
: "${ZANROK_STANDIN:?path of the stand-in client}"
: "${ZANROK_DEVNET:?path of devnet/devnet}"

readonly SITE=https://127.0.0.1:7443
readonly MAIN_TITLE="Zanrok Launcher"

work=""
launcher_pid=""
xvfb_pid=""
devnet_started=0
main_window=""
ports_lock=""

log() { echo "[$(date +%T.%3N)] $*"; }

fail() {
    echo "FAIL: $*" >&2
    if [ -n "${DISPLAY:-}" ] && [ -n "$xvfb_pid" ]; then
        import -window root "$work/failure.png" 2>/dev/null && echo "screen at failure: $work/failure.png" >&2
    fi
    if [ -s "$work/launcher.log" ]; then
        echo "--- launcher output ---" >&2
        tail -n 20 "$work/launcher.log" >&2
    fi
    exit 1
}

cleanup() {
    local rc=$?
    set +e
    if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then
        kill -TERM "$launcher_pid" 2>/dev/null
        wait_gone "$launcher_pid" 5 || kill -KILL "$launcher_pid" 2>/dev/null
    fi
    if [ "$devnet_started" = 1 ]; then
        "$ZANROK_DEVNET" stop --state "$work/devnet" >/dev/null
    fi
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    if [ -n "$work" ]; then
        if [ "$rc" -eq 0 ]; then
            rm -rf "$work"
        else
            echo "kept for inspection: $work" >&2
        fi
    fi
}

wait_gone() { # pid seconds
    local deadline=$((SECONDS + $2))
    while kill -0 "$1" 2>/dev/null; do
        [ $SECONDS -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND until it succeeds.
wait_until() {
    local limit=$1 what=$2
    shift 2
    local deadline=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt "$deadline" ] || fail "gave up after ${limit}s waiting for $what"
        sleep 0.1
    done
}

# An Xvfb of our own on a display number picked at random: other programs on
# the machine start and stop theirs at the low numbers at the same time.
start_xvfb() {
    local attempt n
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        n=$((RANDOM % 800 + 100))
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1600x900x24 -nolisten tcp -noreset 2>"$work/xvfb.log" &
        xvfb_pid=$!
        export DISPLAY=":$n"
        local deadline=$((SECONDS + 10))
        while kill -0 "$xvfb_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
            xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
            sleep 0.05
        done
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    done
    fail "Xvfb did not start: $(tail -n 3 "$work/xvfb.log")"
}

# setup [devnet variant...]: temporary home, Xvfb, demo network.
setup() {
    local v
    for tool in Xvfb xdotool xclip nginx import jq; do
        command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
    done
    work=$(mktemp -d "${TMPDIR:-/tmp}/zanrok-e2e.XXXXXX")
    trap cleanup EXIT
    export HOME=$work/home XDG_CONFIG_HOME=$work/config
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/bin" "$XDG_RUNTIME_DIR" "$work/tmp"
    chmod 700 "$XDG_RUNTIME_DIR"
    cat >"$work/bin/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$work/opened.txt"
EOF
    chmod +x "$work/bin/xdg-open"
    : >"$work/opened.txt"
    export PATH=$work/bin:$PATH
    export LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software
    unset XDG_CURRENT_DESKTOP DESKTOP_SESSION BROWSER DEFAULT_BROWSER

    start_xvfb

    # The ports are fixed: e2e runs from other build folders wait their turn,
    # and so does a demo network started by other means (devnet --wait).
    # (Nothing started from here on inherits the lock.)
    exec {ports_lock}>"${TMPDIR:-/tmp}/zanrok-devnet-ports.lock"
    flock -w 300 "$ports_lock" || fail "another end-to-end run holds the demo network's ports"
    start_devnet "$@"
}

# devnet_files=DIR: the demo network serves that published folder as its file host.
devnet_files=""
start_devnet() { # [variant...]
    local args=(--state "$work/devnet" --standin "$ZANROK_STANDIN" --wait 120) v
    [ -z "$devnet_files" ] || args+=(--files "$devnet_files")
    for v in "$@"; do args+=(--variant "$v"); done
    "$ZANROK_DEVNET" start "${args[@]}" >>"$work/devnet.log" 2>&1 {ports_lock}>&- ||
        { cat "$work/devnet.log" >&2; fail "devnet start"; }
    devnet_started=1
}

# restart_devnet [variant...]: the same network, stopped and started again
# with these variants (the content is generated anew; the logs go on).
restart_devnet() {
    "$ZANROK_DEVNET" stop --state "$work/devnet" >>"$work/devnet.log"
    devnet_started=0
    start_devnet "$@"
    log "demo network restarted${*:+ with $*}"
}

# The launcher's temporary and runtime folders (the runtime one holds its
# one-launcher lock and socket) are the test's own.
start_launcher() {
    TMPDIR=$work/tmp "$ZANROK_LAUNCHER" >"$work/launcher.log" 2>&1 {ports_lock}>&- &
    launcher_pid=$!
    log "launcher started (pid $launcher_pid)"
}

launcher_running() { kill -0 "$launcher_pid" 2>/dev/null; }

# Visible top-level windows of the launcher, one id a line.
launcher_windows() {
    xdotool search --onlyvisible --pid "$launcher_pid" 2>/dev/null || true
}

find_main_window() {
    local w
    for w in $(launcher_windows); do
        if [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$MAIN_TITLE" ]; then
            echo "$w"
            return 0
        fi
    done
    return 1
}

main_window_shown() { main_window=$(find_main_window); }

# A visible window of the launcher other than the main one: a message box.
find_message_box() {
    local w
    for w in $(launcher_windows); do
        [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$MAIN_TITLE" ] || { echo "$w"; return 0; }
    done
    return 1
}

message_box_shown() { message_box=$(find_message_box); }

wait_for_main_window() {
    wait_until 30 "the launcher's window" main_window_shown
    local geometry
    geometry=$(xdotool getwindowgeometry "$main_window" | sed -n 's/.*Geometry: //p')
    [ "$geometry" = "1295x728" ] || fail "window is $geometry, not 1295x728"
    log "window $main_window shown"
}

wait_for_message_box() { # [seconds]
    wait_until "${1:-30}" "a message box" message_box_shown
    log "message box $message_box shown ($(xdotool getwindowgeometry "$message_box" | sed -n 's/.*Geometry: //p'))"
}

# The text of the message box, read through the X primary selection: a triple
# click on its label selects the whole text.
message_box_text() {
    xdotool mousemove --window "$message_box" 40 21 click --repeat 3 --delay 80 1
    sleep 0.3
    xclip -o -selection primary 2>/dev/null || true
}

expect_message() { # text
    local text attempt
    for attempt in 1 2 3; do
        text=$(message_box_text)
        [ "$text" = "$1" ] && break
    done
    [ "$text" = "$1" ] || fail "message box says '$text', expected '$1'"
    log "message box says '$text'"
}

close_message_box() {
    xdotool windowfocus --sync "$message_box"
    xdotool key Return
    log "message box closed"
}

# click X Y: a left click at window coordinates of the main window.
click() {
    xdotool mousemove --window "$main_window" "$1" "$2"
    sleep 0.05
    xdotool click 1
}

# wait_exit SECONDS: waits for the launcher to end; its status in exit_status.
wait_exit() {
    local deadline=$((SECONDS + $1))
    while launcher_running && [ "$(cut -d' ' -f3 "/proc/$launcher_pid/stat" 2>/dev/null)" != Z ]; do
        [ $SECONDS -lt "$deadline" ] || fail "the launcher did not end within $1 s"
        sleep 0.05
    done
    exit_status=0
    wait "$launcher_pid" || exit_status=$?
    launcher_pid=""
    log "launcher ended with status $exit_status"
}

expect_exit() { # seconds
    wait_exit "$1"
    [ "$exit_status" -eq 0 ] || fail "exit status $exit_status"
}

# No crash, abort or thread warning in the launcher's output.
check_clean_output() {
    if grep -Ei 'QThread: Destroyed|Aborted|Segmentation|terminate called|ASSERT|different thread|GUI thread' \
            "$work/launcher.log"; then
        fail "the launcher's output shows an unclean end"
    fi
}

# With QT_LOGGING_RULES="zanrok.loader=true": at least N runs ended, and how
# the last one did, as its diagnostics say.
loads_ended() { [ "$(grep -c 'load ended:' "$work/launcher.log")" -ge "$1" ]; }
load_outcome() { grep 'load ended:' "$work/launcher.log" | tail -n 1 | sed 's/.*load ended: //'; }

opened_urls() { cat "$work/opened.txt"; }
opened() { [ "$(opened_urls | wc -l)" -ge "$1" ]; } # at least N pages opened

screenshot() { import -window root "$work/$1.png"; }

passed() { log "PASS"; }

# The screen positions of the scene's controls, window coordinates.
readonly PLAY_X=141 PLAY_Y=334            # play button 282x68 at (0,300)
readonly SERVER_BAR_X=141 SERVER_BAR_Y=389 # server bar 282x43 at (0,368)
readonly EXIT_X=1280 EXIT_Y=15            # exit button 30x30 at the top-right corner
readonly NEWS0_X=40 NEWS0_Y=556           # first news title from (20,548)

# pixel X Y: the colour of the main window at X,Y as #RRGGBB.
pixel() {
    import -window "$main_window" png:- | convert - -crop "1x1+$1+$2" +repage -depth 8 txt:- |
        tail -n 1 | grep -o '#[0-9A-Fa-f]\{6\}' | head -n 1
}

# bright_bands x|y X Y W H PERCENT: runs of pixels brighter than PERCENT
# (text) inside that rectangle of the main window, along the axis given, as
# "from to" lines in window coordinates. Gaps shorter than 12 px join two runs
# (the words of one label).
bright_bands() {
    local axis=$1 x=$2 y=$3 w=$4 h=$5 percent=$6
    import -window "$main_window" png:- |
        convert - -crop "${w}x${h}+${x}+${y}" +repage -colorspace gray -threshold "$percent%" -depth 8 txt:- |
        awk -F'[,: ]+' -v axis="$axis" -v ox="$x" -v oy="$y" '
            /^#/ { next }
            /#FFFFFF/ { hit[(axis == "x" ? $1 + ox : $2 + oy) + 0] = 1 }
            END {
                start = -1
                for (k = 0; k <= 2000; k++) {
                    if (!(k in hit)) continue
                    if (start < 0) { start = k; last = k; continue }
                    if (k - last >= 12) { print start, last; start = k }
                    last = k
                }
                if (start >= 0) print start, last
            }'
}

# The first news title is drawn in amber (#fbc329) from (20,548) on.
amber_title_pixels() {
    import -window "$main_window" png:- | convert - -crop 400x24+20+548 +repage -fuzz 12% \
        -fill black +opaque '#fbc329' -fill white -opaque '#fbc329' -format '%[fx:int(mean*w*h)]' info:
}
news_title_drawn() { [ "$(amber_title_pixels)" -gt 50 ]; }

# The total online count stands at the top of the online block (from y = 60).
online_total_drawn() { [ -n "$(bright_bands x 1110 62 180 32 60)" ]; }

# The open server list: a title row at half opacity, then ten entries in
# white (the last one reaches below the list's background, to about y = 710),
# as "from to" rows.
server_entries() { bright_bands y 10 378 190 350 60; }
server_list_open() { [ "$(server_entries | wc -l)" -eq 10 ]; }

# The play button is drawn at full opacity (#FBA624) only while the pointer is
# over it and no load runs: it tells when the launcher is idle again.
play_button_idle() {
    xdotool mousemove --window "$main_window" "$PLAY_X" "$PLAY_Y"
    [ "$(pixel 4 304 | tr a-f A-F)" = "#FBA624" ]
}

wait_until_idle() { wait_until "${1:-60}" "the play button to be ready" play_button_idle; }

# --- the installed game -----------------------------------------------------

zanrok_dir() { echo "$HOME/Games/Zanrok"; }
standin_log() { echo "$(zanrok_dir)/ragemp-standin.log"; }
settings_file() { echo "$XDG_CONFIG_HOME/RAGE-MP/RAGE-MP.ini"; }
launches() { if [ -f "$(standin_log)" ]; then wc -l <"$(standin_log)"; else echo 0; fi; }
launched() { [ "$(launches)" -ge "$1" ]; } # at least N starts of the stand-in

# manifest_targets IDENTIFIER: "<local path> <md5>" for every manifest entry.
manifest_targets() {
    jq -r --arg game "$(zanrok_dir)" --arg id "$1" '.[] |
        if (.file | startswith("RAGEMP_FILES/")) then "\($game)/\(.file[13:]) \(.hash)"
        else "\($game)/client_resources/\($id)/\(.file[13:]) \(.hash)" end' \
        "$work/devnet/www/files/files.json"
}

# Every manifest file is in place with the manifest's digest.
check_installed() { # identifier
    local path hash
    while read -r path hash; do
        [ -f "$path" ] || fail "missing after the load: $path"
        [ "$(md5sum <"$path" | cut -d' ' -f1)" = "$hash" ] || fail "wrong content: $path"
    done < <(manifest_targets "$1")
    cmp -s "$ZANROK_STANDIN" "$(zanrok_dir)/ragemp_v.exe" || fail "ragemp_v.exe is not the stand-in client"
    [ -x "$(zanrok_dir)/ragemp_v.exe" ] || fail "ragemp_v.exe is not executable"
}

# Files under the game folder that no manifest entry (and no stand-in log)
# explains: temporary or partial files.
stray_files() { # identifier
    comm -23 <(find "$(zanrok_dir)" -type f 2>/dev/null | sort) \
             <({ manifest_targets "$1" | cut -d' ' -f1; standin_log; } | sort)
}

# Play, then expect the Nth start of the stand-in after a clean load: no
# message, every manifest file in place, nothing stray.
play_expecting_start() { # identifier, N, what the load is, [seconds]
    click "$PLAY_X" "$PLAY_Y"
    wait_until "${4:-60}" "start $2 of the stand-in client" launched "$2"
    wait_until_idle
    if message_box_shown; then fail "message during $3: '$(message_box_text)'"; fi
    check_installed "$1"
    [ -z "$(stray_files "$1")" ] || fail "stray files: $(stray_files "$1")"
}

# The last launch as the stand-in logged it: standin_value KEY
standin_value() {
    tail -n 1 "$(standin_log)" | jq -r --arg k "$1" '.[$k] | if type == "array" then tojson else . end'
}

check_launch() { # identifier host
    local id=$1 host=$2
    [ "$(standin_value argument)" = "$id" ] || fail "stand-in argument '$(standin_value argument)', expected '$id'"
    [ "$(standin_value arguments)" = "[\"$id\"]" ] || fail "stand-in arguments $(standin_value arguments)"
    [ "$(standin_value workingDirectory)" = "$(zanrok_dir)" ] || fail "working directory $(standin_value workingDirectory)"
    [ "$(standin_value rage_path)" = "$(zanrok_dir)" ] || fail "rage_path $(standin_value rage_path)"
    local key
    for key in launch.ip launch2.ip; do
        [ "$(standin_value $key)" = "$host" ] || fail "$key is '$(standin_value $key)', expected '$host'"
    done
    for key in launch.port launch2.port; do
        [ "$(standin_value $key)" = "22005" ] || fail "$key is '$(standin_value $key)', expected 22005"
    done
    [ -f "$(settings_file)" ] || fail "no settings file at $(settings_file)"
    local line
    for line in "rage_path=$(zanrok_dir)" "launch.ip=$host" "launch.port=22005" \
                "launch2.ip=$host" "launch2.port=22005"; do
        grep -qxF "$line" "$(settings_file)" || fail "the settings file lacks $line"
    done
    log "stand-in started with $id in $(zanrok_dir); launch values $host:22005"
}

# Requests the demo network has answered, as "METHOD PATH STATUS" lines.
served() {
    awk '{ print substr($6, 2), $7, $9 }' "$work/devnet/logs/access.log"
}

# A delta update of PATH in the requests from line N of the access log on:
# its sidecar fetched, then the file by range requests only, under 4 MiB
# sent for both.
expect_delta_update() { # N path
    local requests file_requests sent
    requests=$(served_since "$1")
    log "requested:"$'\n'"$(awk '{ print "    " $0 }' <<<"$requests")"
    grep -qx "$2.zsync 200 - [0-9]*" <<<"$requests" || fail "the sidecar was not fetched"
    file_requests=$(awk -v p="$2" '$1 == p' <<<"$requests")
    [ -n "$file_requests" ] || fail "nothing of the large file was fetched"
    awk '$2 != 206 || $3 !~ /^bytes=/ { exit 1 }' <<<"$file_requests" ||
        fail "the large file was fetched other than by ranges: $file_requests"
    sent=$(awk -v p="$2" '$1 == p || $1 == p ".zsync" { s += $4 } END { print s + 0 }' <<<"$requests")
    [ "$sent" -lt $((4 * 1024 * 1024)) ] || fail "the host sent $sent bytes for $2"
    log "the host sent $sent bytes for $2, sidecar included, in $(wc -l <<<"$file_requests") range requests"
}

served_bytes() { # path: bytes sent for each request of it
    awk -v p="$1" '$7 == p { print $10 }' "$work/devnet/logs/access.log"
}

# Requests from line N of the access log on, as "PATH STATUS RANGE BYTES"
# lines (RANGE is the Range header, "-" for none; BYTES all bytes sent,
# headers too).
served_since() { # N
    tail -n +"$1" "$work/devnet/logs/access.log" | awk -F'"' '{
        split($2, request, " "); split($3, answer, " "); n = split($9, sent, " ")
        range = $8; gsub(/ /, "", range)
        print request[2], answer[1], (range == "" ? "-" : range), sent[n] }'
}
