#!/usr/bin/env bash
# A publication as an operator makes it: a folder published with
# zanrok-publish, served as it is by the demo network (--files) and played by
# the launcher; one large file changed and published again, which the next
# play updates by range requests from its sidecar. Then check passes on it,
# and names each fault planted in it with a non-zero status.
source "$(dirname "$0")/lib.sh"
: "${ZANROK_PUBLISH:?path of zanrok-publish}" "${ZANROK_SOURCE_DIR:?}"
setup
id=ashford.zanrok.net_22005
sign=$ZANROK_SOURCE_DIR/devnet/sign
src=$work/source out=$work/out
big=$src/SERVER_FILES/dlcpacks/world/world.rpf
make_publication() { # [key]
    "$ZANROK_PUBLISH" make "$src" "$out" --base-url http://127.0.0.1:7080/ \
        --manifest-url http://127.0.0.1:7080/files.json --key "${1:-$sign/demo.key}" {ports_lock}>&- ||
        fail "zanrok-publish make"
}

# RageMP (the stand-in), the demo server's files, a name to percent-encode,
# and a large file: 12 MiB, so it gets a sidecar.
mkdir -p "$src/RAGEMP_FILES" "$src/SERVER_FILES/карты" "$(dirname "$big")"
cp "$ZANROK_STANDIN" "$src/RAGEMP_FILES/ragemp_v.exe"
cp -R "$ZANROK_SOURCE_DIR/devnet/files/server/." "$src/SERVER_FILES/"
printf 'гавань\n' >"$src/SERVER_FILES/карты/старый_порт.txt"
head -c $((12 * 1024 * 1024)) /dev/urandom >"$big"
make_publication
[ -f "$out/SERVER_FILES/dlcpacks/world/world.rpf.zsync" ] || fail "no sidecar beside the large file"
devnet_files=$out
restart_devnet

start_launcher
wait_for_main_window
wait_until_idle
play_expecting_start "$id" 1 "the load"
check_launch "$id" ashford.zanrok.net

# A MiB in the middle changed, written anew and renamed over the old: the
# web root holds a link to the source file, never to be written through.
{ head -c $((6 * 1024 * 1024)) "$big"; head -c $((1024 * 1024)) /dev/urandom; tail -c +$((7 * 1024 * 1024 + 1)) "$big"; } >"$big.new"
mv "$big.new" "$big"
make_publication
first_request=$(( $(wc -l <"$work/devnet/logs/access.log") + 1 ))
play_expecting_start "$id" 2 "the second load"
expect_delta_update "$first_request" /SERVER_FILES/dlcpacks/world/world.rpf

# check: one problem line for each planted fault, a non-zero status.
check_says() { # expected ("" for none), then check's options
    local expected=$1 status=0
    shift
    "$ZANROK_PUBLISH" check http://127.0.0.1:7080/files.json --key "$sign/demo.pub" "$@" \
        >"$work/check.txt" 2>&1 {ports_lock}>&- || status=$?
    local problems
    problems=$(grep '^problem: ' "$work/check.txt" || true)
    if [ -z "$expected" ]; then
        [ "$status" -eq 0 ] && [ -z "$problems" ] || fail "check on the publication: $(cat "$work/check.txt")"
        log "check: $(tail -n 1 "$work/check.txt")"
    else
        [ "$status" -ne 0 ] && [ "$(wc -l <<<"$problems")" -eq 1 ] && [[ $problems == *"$expected"* ]] ||
            fail "check did not name '$expected' alone (status $status): $(cat "$work/check.txt")"
        log "check, status $status: $problems"
    fi
}
check_says "" --full
served_file=$out/RAGEMP_FILES/ragemp_v.exe
mv "$served_file" "$work/aside"
check_says "RAGEMP_FILES/ragemp_v.exe: HTTP 404"
printf 'x' | cat "$work/aside" - >"$served_file"
check_says "the host has $(( $(stat -c %s "$work/aside") + 1 )) bytes, the manifest says $(stat -c %s "$work/aside")"
tr 'a-z' 'A-Z' <"$work/aside" >"$served_file"
check_says "RAGEMP_FILES/ragemp_v.exe: its download does not match the manifest's digest" --full
mv -f "$work/aside" "$served_file"

cp "$out/files.json.minisig" "$work/signature"
now=$(date +%s)
minisign -S -s "$sign/demo.key" -m "$out/files.json" -t "$(printf 'timestamp:%s\tfile:files.json\thashed\tmanifest:%s\texpires:%s' \
    $((now - 7200)) http://127.0.0.1:7080/files.json $((now - 3600)))" >/dev/null
check_says "expired at"
minisign -G -W -p "$work/foreign.pub" -s "$work/foreign.key" >/dev/null
make_publication "$work/foreign.key"
check_says "the signature's key id is not a trusted key"
cp "$work/signature" "$out/files.json.minisig"

restart_devnet no-ranges
check_says "SERVER_FILES/dlcpacks/world/world.rpf: has a sidecar, but the host does not answer two ranges in one request"
restart_devnet "version=1.8"$'\n'
check_says "the version text ends in a line break"
passed
