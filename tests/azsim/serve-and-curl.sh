#!/usr/bin/env bash
# azsim init, azsim serve, then the curl program fetching a 4 MiB range of a demo disk
# over HTTPS: the bytes must equal what azsim hash reports for the same range.
set -euo pipefail
azsim="$1"
work=$(mktemp -d)
server=""
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

"$azsim" init --state "$work/state" >/dev/null
"$azsim" serve --state "$work/state" >"$work/serve.out" 2>&1 &
server=$!
for _ in $(seq 1 100); do grep -q '^port ' "$work/serve.out" && break; sleep 0.1; done
port=$(awk '/^port / {print $2}' "$work/serve.out")
[ -n "$port" ] || { echo "the endpoint did not start"; cat "$work/serve.out"; exit 1; }

url=$("$azsim" url --state "$work/state" --vm web-linux01 --disk 0)
token=$("$azsim" token --state "$work/state")
offset=$((4 * 1048576)); length=$((4 * 1048576))
curl -sS --fail --connect-to "::127.0.0.1:$port" --cacert "$work/state/tls/ca.pem" \
     -H "Authorization: Bearer $token" -H "x-ms-version: 2018-03-28" \
     -r "$offset-$((offset + length - 1))" -o "$work/range.bin" "$url"
got=$(sha256sum "$work/range.bin" | cut -d' ' -f1)
want=$("$azsim" hash --state "$work/state" --vm web-linux01 --disk 0 --offset "$offset" --length "$length")
[ "$(stat -c %s "$work/range.bin")" -eq "$length" ] || { echo "short range"; exit 1; }
if [ "$got" != "$want" ]; then echo "range differs: curl $got, azsim hash $want"; exit 1; fi
echo "4 MiB range of $url matches azsim hash $want"
