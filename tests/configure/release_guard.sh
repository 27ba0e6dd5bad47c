#!/usr/bin/env bash
# A build for a real network's addresses fails at configure time when it
# would trust the demo network's key or CA, or no key without saying so;
# the README's production line configures. Each case configures the whole
# project afresh in a temporary folder.
#   release_guard.sh CMAKE SOURCE_DIR
set -euo pipefail
cmake=${1:?cmake} source=${2:?source folder}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

real=(-DZANROK_SITE_URL=https://zanrok.net -DZANROK_FILES_HTTPS_URL=https://files.zanrok.net
      -DZANROK_FILES_HTTP_URL=http://files.zanrok.net -DZANROK_FORUM_URL=https://forum.zanrok.net
      -DZANROK_VK_URL=https://vk.com)
key=$(tail -n 1 "$source/tests/data/minisign/test.pub")
# Another CA first, then the demo CA's last certificate with CR LF line ends.
{ cat "$source/tests/data/selfsigned.pem"
  awk '/BEGIN CERTIFICATE/ { n++; buf = "" } { buf = buf $0 "\r\n" } /END CERTIFICATE/ { last = buf } END { printf "%s", last }' \
      "$source/devnet/ca/demo-ca.pem"; } >"$work/bundle.pem"

failed=0
configure() { # case expected-message|"" arguments...
    local name=$1 message=$2 status=0
    shift 2
    rm -rf "$work/build"
    "$cmake" -S "$source" -B "$work/build" -DZANROK_BUILD_TESTS=OFF "$@" >"$work/out" 2>&1 || status=$?
    if [ -z "$message" ] && [ "$status" -ne 0 ]; then
        echo "FAIL: $name: configure failed"; tail -n 20 "$work/out"; failed=1
    elif [ -n "$message" ] && { [ "$status" -eq 0 ] || ! tr -s ' \n' ' ' <"$work/out" | grep -qF "$message"; }; then
        echo "FAIL: $name: status $status, without '$message'"; tail -n 20 "$work/out"; failed=1
    else
        echo "ok: $name"
    fi
}

configure "demo key" "holds the demo network's key" "${real[@]}" -DZANROK_EXTRA_CA=
configure "one address off loopback, demo key" "holds the demo network's key" \
    -DZANROK_FILES_HTTP_URL=http://files.zanrok.net -DZANROK_EXTRA_CA=
configure "demo CA" "holds the demo network's CA" "${real[@]}" -DZANROK_MANIFEST_KEY="$key"
configure "demo CA in a bundle" "holds the demo network's CA" "${real[@]}" -DZANROK_MANIFEST_KEY="$key" \
    -DZANROK_EXTRA_CA="$work/bundle.pem"
configure "no key" "ZANROK_MANIFEST_KEY is empty" "${real[@]}" -DZANROK_EXTRA_CA= -DZANROK_MANIFEST_KEY=
configure "no key, allowed by name" "" "${real[@]}" -DZANROK_EXTRA_CA= -DZANROK_MANIFEST_KEY= \
    -DZANROK_ALLOW_UNSIGNED_MANIFEST=ON
configure "the README's production line" "" -DCMAKE_BUILD_TYPE=Release "${real[@]}" -DZANROK_EXTRA_CA= \
    -DZANROK_MANIFEST_KEY="$key"
exit $failed
