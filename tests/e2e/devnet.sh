#!/usr/bin/env bash
# The demo network itself: what each host serves, the variants, a clean stop.
# zsync stands for a client of the large file's sidecar.
# No display needed; checked with curl against the real nginx.
set -euo pipefail
: "${ZANROK_DEVNET:?}" "${ZANROK_SOURCE_DIR:?}"
ca=$ZANROK_SOURCE_DIR/devnet/ca/demo-ca.pem
work=$(mktemp -d "${TMPDIR:-/tmp}/zanrok-devnet-test.XXXXXX")
state=$work/state
standin=$work/fake-standin
printf '#!/bin/sh\necho stand-in\n' >"$standin"
# The ports are fixed: wait for any other end-to-end run (see lib.sh).
exec {ports_lock}>"${TMPDIR:-/tmp}/zanrok-devnet-ports.lock"
flock -w 300 "$ports_lock" || { echo "FAIL: another end-to-end run holds the ports" >&2; exit 1; }
trap '"$ZANROK_DEVNET" stop --state "$state" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
get() { curl -sS --cacert "$ca" --max-time 10 "$@"; }
status_of() { curl -s --cacert "$ca" --max-time 10 -o /dev/null -w '%{http_code}' "$1" || true; }
start() { "$ZANROK_DEVNET" start --state "$state" --standin "$standin" --wait 120 "$@" {ports_lock}>&-; }
stop() { "$ZANROK_DEVNET" stop --state "$state" >/dev/null; }
refused() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# --- the default network ----------------------------------------------------
t0=$(date +%s%N)
start
echo "started in $(( ($(date +%s%N) - t0) / 1000000 )) ms"

news=$(get https://127.0.0.1:7443/api/news)
[ "$(jq '.items.data | length' <<<"$news")" -ge 3 ] || fail "fewer than three news items"
jq -e '[.items.data[] | .title, .little_text, .alias | strings] | length == (4 * 3)' <<<"$news" >/dev/null ||
    fail "every news item has a title, a teaser and an alias"
jq -e '[.items.data[].alias | select(test("[ %&]|[^\\u0000-\\u007f]"))] | length >= 2' <<<"$news" >/dev/null ||
    fail "aliases that need escaping in a URL are missing"
while read -r alias; do
    [ "$(status_of "https://127.0.0.1:7443/news/$alias")" = 200 ] || fail "no page for news alias $alias"
done < <(jq -r '.items.data[].alias | @uri' <<<"$news")
[ "$(status_of https://127.0.0.1:7443/news/unknown)" = 404 ] || fail "an unknown news page answers"

stats=$(get https://127.0.0.1:7443/api/stats)
[ "$(jq -c 'keys_unsorted' <<<"$stats")" = \
  '["Ashford","BlueRidge","CedarFalls","DarkWater","EastGate","Fairhaven","Greystone","Hightower","Ironwood","JadePoint"]' ] ||
    fail "statistics keys: $(jq -c keys_unsorted <<<"$stats")"
jq -e '[.[].online | numbers] | length == 10' <<<"$stats" >/dev/null || fail "an online count is not a number"

for page in https://127.0.0.1:7443/ https://127.0.0.1:7443/download https://127.0.0.1:7443/donate \
            https://127.0.0.1:7443/discord https://127.0.0.1:7445/ https://127.0.0.1:7446/Zanrok; do
    [ "$(status_of "$page")" = 200 ] || fail "$page does not answer 200"
done
# The certificate is for 127.0.0.1 and localhost, signed by the demo CA only.
[ "$(status_of https://localhost:7443/)" = 200 ] || fail "the certificate does not cover localhost"
curl -s --max-time 10 -o /dev/null https://127.0.0.1:7443/ && fail "the demo certificate verifies without the demo CA"

[ "$(get https://127.0.0.1:7444/LAUNCHER_FILES/ver.txt | od -An -c | tr -s ' ')" = " 1 . 8" ] ||
    fail "ver.txt does not hold exactly 1.8"

manifest=$(get http://127.0.0.1:7080/files.json)
[ "$(jq '[.[] | select(.file | startswith("SERVER_FILES/"))] | length' <<<"$manifest")" -ge 4 ] || fail "few server files"
[ "$(jq -r '.[] | select(.file == "RAGEMP_FILES/ragemp_v.exe") | .hash' <<<"$manifest")" = \
  "$(md5sum <"$standin" | cut -d' ' -f1)" ] || fail "ragemp_v.exe is not the given stand-in"
jq -e '[.[] | select(.url | startswith("https://"))] | length >= 1' <<<"$manifest" >/dev/null || fail "no https URL"
jq -e '[.[] | select(.file | test("world.rpf|removed.txt|bomb.bin|endless.bin|roads.txt"))] | length == 0' <<<"$manifest" >/dev/null ||
    fail "a variant's file is listed without its variant"
big=0
while IFS=$'\t' read -r file url hash listed; do
    url="http://${url#*://}" # the launcher fetches every file over http
    body=$work/body
    get -o "$body" "$url"
    [ "$(md5sum <"$body" | cut -d' ' -f1)" = "$hash" ] || fail "$file: digest does not match"
    size=$(stat -c %s "$body")
    [ "$size" = "$listed" ] || fail "$file: $size bytes, the manifest says $listed"
    [ "$size" -gt $((1024 * 1024)) ] && big=1
    # Text is sent compressed to a client that accepts gzip.
    case $file in *.js|*.json|*.css|*.txt|*.html|*.xml)
        if [ "$size" -ge 256 ]; then
            encoding=$(curl -s -D - -o /dev/null -H 'Accept-Encoding: gzip' "$url" | tr -d '\r' |
                       sed -n 's/^[Cc]ontent-[Ee]ncoding: //p')
            [ "$encoding" = gzip ] || fail "$file is not sent gzip-compressed"
        fi ;;
    esac
done < <(jq -r '.[] | [.file, .url, .hash, .size] | @tsv' <<<"$manifest")
[ "$big" = 1 ] || fail "no binary file of a few MiB"
# Signed with the demo key at this start.
get -o "$work/files.json" http://127.0.0.1:7080/files.json
get -o "$work/files.json.minisig" http://127.0.0.1:7080/files.json.minisig
minisign -Vq -p "$ZANROK_SOURCE_DIR/devnet/sign/demo.pub" -m "$work/files.json" || fail "the manifest's signature does not verify"
stamp=$(sed -n 's/^trusted comment: timestamp:\([0-9]*\).*/\1/p' "$work/files.json.minisig")
[ $(( $(date +%s) - stamp )) -lt 60 ] || fail "the signature's timestamp is not fresh: $stamp"
grep -q 'listen 127\.0\.0\.1:' "$state/nginx.conf" && ! grep -E 'listen +[0-9]+;|listen +\*|listen +\[' "$state/nginx.conf" ||
    fail "nginx listens beyond 127.0.0.1"
"$ZANROK_DEVNET" start --state "$state" 2>/dev/null {ports_lock}>&- && fail "a second start on the same state succeeded"
stop
for port in 7443 7444 7080 7445 7446; do refused $port || fail "port $port still open after stop"; done
[ ! -e "$state/nginx.pid" ] || fail "pid file left after stop"

# --- variants -----------------------------------------------------------------
start --variant news-down --variant stats-500 --variant version=1.9 >/dev/null
refused 7443 || fail "news-down: the main host answers"
[ "$(get https://127.0.0.1:7444/LAUNCHER_FILES/ver.txt)" = 1.9 ] || fail "version=1.9 not served"
stop

start --variant stats-500 >/dev/null
[ "$(status_of https://127.0.0.1:7443/api/stats)" = 500 ] || fail "stats-500: /api/stats does not answer 500"
[ "$(status_of https://127.0.0.1:7443/api/news)" = 200 ] || fail "stats-500: the news are gone"
stop

start --variant stall=/api/news >/dev/null
rc=0; curl -s --cacert "$ca" --max-time 2 -o /dev/null https://127.0.0.1:7443/api/news || rc=$?
[ "$rc" = 28 ] || fail "stall: /api/news did not stall (curl status $rc)"
[ "$(status_of https://127.0.0.1:7443/api/stats)" = 200 ] || fail "stall: the rest of the host stalls too"
t0=$(date +%s%N)
stop
echo "stopped with a stalled request open in $(( ($(date +%s%N) - t0) / 1000000 )) ms"

start --variant missing >/dev/null
[ "$(get http://127.0.0.1:7080/files.json | jq '[.[] | select(.file | endswith("removed.txt"))] | length')" = 1 ] ||
    fail "missing: the file is not listed"
[ "$(status_of http://127.0.0.1:7080/SERVER_FILES/maps/removed.txt)" = 404 ] || fail "missing: the file is served"
stop

# The signing variants: what minisign -V says of each.
verify() { # prints minisign's complaint, nothing when it verifies
    rm -f "$work/files.json" "$work/files.json.minisig"
    get -o "$work/files.json" http://127.0.0.1:7080/files.json
    curl -sf -o "$work/files.json.minisig" http://127.0.0.1:7080/files.json.minisig || { echo "no signature"; return; }
    minisign -V -p "$ZANROK_SOURCE_DIR/devnet/sign/demo.pub" -m "$work/files.json" 2>&1 >/dev/null | head -n 1
}
start --variant unsigned >/dev/null
[ "$(verify)" = "no signature" ] || fail "unsigned: $(verify)"
stop
start --variant tampered >/dev/null
[ "$(verify)" = "Signature verification failed" ] || fail "tampered: $(verify)"
stop
start --variant foreign-key >/dev/null
[[ "$(verify)" = "Signature key id in "* ]] || fail "foreign-key: $(verify)"
stop
start --variant replay >/dev/null
[ -z "$(verify)" ] || fail "replay: $(verify)"
[ "$(sed -n 's/^trusted comment: timestamp:\([0-9]*\).*/\1/p' "$work/files.json.minisig")" -lt "$stamp" ] ||
    fail "replay: not older than the plain start's"
stop
start --variant rewritten >/dev/null
[ "$(verify)" = "Signature verification failed" ] || fail "rewritten: $(verify)"
[ "$(status_of http://127.0.0.1:7080/SERVER_FILES/packages/core/index.js)" = 200 ] || fail "rewritten: the proxy passes nothing on"
stop

# The launcher's update published with the tool (when it is built): the
# descriptor signed by the demo key naming the installer served, the version
# text; then each of its variants.
if [ -x "${ZANROK_PUBLISH:-}" ]; then
    head -c 100000 /dev/urandom >"$work/setup.exe"
    launcher_update() { # variants: minisign's complaint of the descriptor, and what differs
        start --variant version=1.9 --variant "launcher=$work/setup.exe" "$@" >/dev/null
        get -o "$work/update.json" http://127.0.0.1:7080/launcher/update.json
        get -o "$work/update.json.minisig" http://127.0.0.1:7080/launcher/update.json.minisig
        minisign -V -p "$ZANROK_SOURCE_DIR/devnet/sign/demo.pub" -m "$work/update.json" 2>&1 >/dev/null | head -n 1
        [ "$(get https://127.0.0.1:7444/LAUNCHER_FILES/ver.txt)" = 1.9 ] || echo "the version text"
        [ "$(get "$(jq -r .url "$work/update.json")" | sha256sum | cut -d' ' -f1)" = "$(jq -r .sha256 "$work/update.json")" ] ||
            echo "the installer"
        stop
    }
    found=$(launcher_update)
    [ -z "$found" ] || fail "launcher: $found"
    found=$(launcher_update --variant launcher-tampered)
    [ "$found" = "the installer" ] || fail "launcher-tampered: $found"
    found=$(launcher_update --variant launcher-foreign-key)
    [[ "$found" = "Signature key id in "* ]] || fail "launcher-foreign-key: $found"
fi

# Files of 16 bytes served far longer, and one served at a trickle.
start --variant bomb --variant endless --variant trickle >/dev/null
listed=$(get http://127.0.0.1:7080/files.json | jq -c '[.[] | select(.file | test("bomb|endless|roads")) | .size]')
[ "$listed" = "[16,16,2308]" ] || fail "bomb, endless, trickle: sizes listed $listed"
[ "$(get --compressed http://127.0.0.1:7080/SERVER_FILES/maps/bomb.bin | wc -c)" = $((128 * 1024 * 1024)) ] ||
    fail "bomb: the body does not unpack to 128 MiB"
got=$(curl -s --max-time 1 -D "$work/headers" -o /dev/null -w '%{size_download}' http://127.0.0.1:7080/SERVER_FILES/maps/endless.bin || true)
[ "$got" -gt $((16 * 1024 * 1024)) ] && ! grep -qi '^content-length' "$work/headers" ||
    fail "endless: $got bytes in 1 s, $(grep -i '^content-length' "$work/headers")"
[ "$(curl -s --max-time 3 http://127.0.0.1:7080/SERVER_FILES/maps/roads.txt || true)" = "Map " ] ||
    fail "trickle: not four bytes in the first seconds"
stop

start --variant large >/dev/null
world_url() { get http://127.0.0.1:7080/files.json | jq -r '.[] | select(.file | endswith("world.rpf")) | .url, .hash'; }
read -r -d '' url old_hash < <(world_url) || true
[ -n "$url" ] || fail "large: the large file is not listed"
world=$state/www/files/SERVER_FILES/dlcpacks/zanrok-world/world.rpf
full=$(stat -c %s "$world")
got=$(curl -s --max-time 1 -o /dev/null -w '%{size_download}' "$url" || true)
[ "$got" -lt "$full" ] || fail "large: the large file is not served slowly"
echo "large file: $got of $full bytes in 1 s"
sidecar=$(get "$url.zsync" | head -c 1024 | tr -d '\0' || true)
grep -qx 'URL: world.rpf' <<<"$sidecar" && grep -qx "Length: $full" <<<"$sidecar" ||
    fail "large: no zsync sidecar beside the large file"
[ "$(status_of http://127.0.0.1:7080/SERVER_FILES/dlcpacks/zanrok-cars/dlc.rpf.zsync)" = 404 ] ||
    fail "a file under 4 MiB has a sidecar"
cp "$world" "$work/world-old.rpf"
stop

# A new version of the large file: zsync rebuilds it from the old one with
# range requests (nginx answers several ranges at once), still served slowly.
start --variant large --variant changed >/dev/null
read -r -d '' url new_hash < <(world_url) || true
[ -n "$new_hash" ] && [ "$new_hash" != "$old_hash" ] || fail "changed: the large file's digest did not change"
[ "$(stat -c %s "$world")" = "$full" ] || fail "changed: the large file's size changed"
curl -s -D "$work/headers" -o "$work/parts" -H 'Range: bytes=0-99,4194304-4194403' "$url"
grep -qi '^content-type: multipart/byteranges' "$work/headers" || fail "changed: two ranges were not answered as two parts"
[ "$(grep -ac '^Content-Range: bytes ' "$work/parts")" = 2 ] || fail "changed: not two parts"
[ "$(tr -d '\r' <"$work/headers" | sed -n 's/^[Cc]ontent-[Ll]ength: //p')" -lt 1024 ] || fail "changed: more than the two ranges sent"
got=$(curl -s --max-time 1 -o /dev/null -w '%{size_download}' -H 'Range: bytes=0-4194303' "$url" || true)
[ "$got" -lt 4194304 ] || fail "changed: a range of the large file is not served slowly"
: >"$state/logs/access.log"
(cd "$work" && zsync -q -i world-old.rpf -o world-new.rpf "$url.zsync") || fail "changed: zsync failed"
[ "$(md5sum <"$work/world-new.rpf" | cut -d' ' -f1)" = "$new_hash" ] || fail "changed: zsync's result has another digest"
sent=$(awk -F'"' '$2 ~ /world\.rpf/ { n = split($9, f, " "); s += f[n] } END { print s + 0 }' "$state/logs/access.log")
[ "$sent" -lt $((2 * 1024 * 1024)) ] || fail "changed: zsync was sent $sent bytes"
echo "changed: zsync rebuilt the new version with $sent bytes sent"
stop
echo "PASS"
