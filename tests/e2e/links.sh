#!/usr/bin/env bash
# The six header links and the first news title open their addresses.
source "$(dirname "$0")/lib.sh"
setup
start_launcher
wait_for_main_window
wait_until 30 "the version fetch" grep -q 'GET /LAUNCHER_FILES/ver.txt' "$work/devnet/logs/access.log"
mapfile -t links < <(bright_bands x 181 28 1000 22 35)
[ "${#links[@]}" -eq 6 ] || fail "found ${#links[@]} header links, expected 6: ${links[*]}"
for band in "${links[@]}"; do
    read -r from to <<<"$band"
    click $(((from + to) / 2)) 42
done
click "$NEWS0_X" "$NEWS0_Y"
news0=$(jq -r '.items.data[0].alias | @uri' "$ZANROK_SOURCE_DIR/devnet/www/site/api/news.json")
expected="$SITE/
$SITE/donate
$SITE/donate
https://127.0.0.1:7445/
$SITE/discord
https://127.0.0.1:7446/Zanrok
$SITE/news/$news0"
wait_until 10 "seven opened pages" opened 7
# A root address may come with or without its final slash.
got=$(opened_urls | sed -E 's#^(https://[^/]+)$#\1/#')
[ "$got" = "$expected" ] || fail "opened:
$got
expected:
$expected"
while read -r url; do
    curl -sSf --cacert "$ZANROK_SOURCE_DIR/devnet/ca/demo-ca.pem" -o /dev/null "$url" || fail "$url does not answer"
done <<<"$got"
log "opened and served: $(echo "$got" | tr '\n' ' ')"
passed
