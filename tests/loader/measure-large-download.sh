#!/usr/bin/env bash
# Peak memory and time of one loader run that downloads a large file, then
# of a run that only hashes it. Not part of the suite (it writes ~2x SIZE).
#   tests/loader/measure-large-download.sh <build dir> [size, default 1G]
set -euo pipefail
build=${1:?build dir}; size=${2:-1G}; port=18080
work=$(mktemp -d); trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/home/Games/Zanrok" "$work/config/RAGE-MP"
head -c "$size" /dev/urandom > "$work/www/big.bin"
hash=$(md5sum "$work/www/big.bin" | cut -d' ' -f1)
printf '[{"file":"SERVER_FILES/big.bin","url":"http://127.0.0.1:%s/big.bin","hash":"%s"}]\n' \
    "$port" "$hash" > "$work/www/files.json"
# An installed client, so the run goes straight to the server file.
cp "$build/standin/ragemp-standin" "$work/home/Games/Zanrok/ragemp_v.exe"
printf '[General]\nrage_path=%s\n' "$work/home/Games/Zanrok" > "$work/config/RAGE-MP/RAGE-MP.ini"
(cd "$work/www" && exec python3 -m http.server "$port" --bind 127.0.0.1 >/dev/null 2>&1) &
server=$!
sleep 1
for run in download hash-only; do
    sync
    HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen \
        /usr/bin/time -f "$run: %e s elapsed, peak RSS %M KiB" \
        "$build/tests/loader/loader-bench" "http://127.0.0.1:$port/files.json" | tail -1
done
