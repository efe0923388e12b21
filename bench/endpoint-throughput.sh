#!/usr/bin/env bash
# Throughput of the simulated blob endpoint for 4 MiB range GETs (or, with --put,
# 4 MiB page PUTs) from parallel curl clients on this machine: the baseline later
# data-path benchmarks compare against.
#
#   bench/endpoint-throughput.sh [--state DIR] [--clients N] [--requests M] [--size-mib S] [--bench PATH]
#                                [--keep DIR] [--put]
#
# Without --state a temporary state folder is made (and removed). The folder gets
# a fully written page blob of S MiB (default 1024); N clients (default 8) each
# send M (default 32) GETs of 4 MiB ranges over one kept-alive connection. The
# bytes go to /dev/null, or with --keep into files in DIR (removed at the end),
# as a download that keeps what it reads would.
# With --put the blob is created empty instead, and client c writes its own
# contiguous range, pieces c*M .. c*M+M-1, with Put Page requests
# ("x-ms-page-write: update") whose bodies come from one 4 MiB file; the line
# printed also counts the connections the clients opened (TLS handshakes).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
state=""
clients=8
requests=32
size_mib=1024
bench="${ENDPOINT_BENCH:-$here/../build/bench/endpoint_bench}"
keep=""
put=0

while [[ $# -gt 0 ]]; do
  case "$1" in
    --state) state=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --requests) requests=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    --bench) bench=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --put) put=1; shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
[[ -x "$bench" ]] || { echo "endpoint_bench not found at $bench (build target endpoint_bench, or pass --bench)" >&2; exit 2; }

work=$(mktemp -d)
own_state=0
if [[ -z "$state" ]]; then state="$work/state"; own_state=1; fi
server_pid=""
cleanup() {
  [[ -n "$server_pid" ]] && { exec 3>&-; wait "$server_pid" 2>/dev/null || true; }
  rm -rf "$work"
  [[ -n "$keep" ]] && rm -f "$keep"/endpoint-bench.*
  [[ $own_state -eq 1 ]] && rm -rf "$state"
  return 0
}
trap cleanup EXIT

if [[ $put -eq 1 ]]; then
  echo "preparing an empty ${size_mib} MiB blob in $state ..."
  "$bench" create "$state" "$size_mib"
  head -c $((4 * 1024 * 1024)) /dev/urandom > "$work/body"
else
  echo "preparing a ${size_mib} MiB blob in $state ..."
  "$bench" prepare "$state" "$size_mib"
fi

# The server runs until its stdin (fd 3 here) closes.
mkfifo "$work/control"
"$bench" serve "$state" < "$work/control" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
exec 3> "$work/control"
for _ in $(seq 100); do [[ -s "$work/server.out" ]] && break; sleep 0.1; done
read -r port token < "$work/server.out" || { cat "$work/server.err" >&2; exit 1; }

url="https://benchacct.blob.core.windows.net/vhds/bench.vhd"
piece=$((4 * 1024 * 1024))
pieces=$((size_mib / 4))

run_client() {
  local client=$1 args=() r first out=/dev/null
  for ((r = 0; r < requests; r++)); do
    first=$(( ((client * requests + r) * 7919 % pieces) * piece ))
    [[ $r -gt 0 ]] && args+=(--next)
    [[ -n "$keep" ]] && out="$keep/endpoint-bench.$client.$r"
    args+=(-s -o "$out" -w '%{http_code} %{size_download}\n'
           --connect-to "::127.0.0.1:$port" --cacert "$state/tls/ca.pem"
           -H 'x-ms-version: 2018-03-28' -H "Authorization: Bearer $token"
           -r "$first-$((first + piece - 1))" "$url")
  done
  curl "${args[@]}" > "$work/client.$client"
}

# Put Page requests without "Expect: 100-continue", as the plugin's HTTP client sends them.
run_put_client() {
  local client=$1 args=() r first
  for ((r = 0; r < requests; r++)); do
    first=$(( (client * requests + r) * piece ))
    [[ $r -gt 0 ]] && args+=(--next)
    args+=(-s -o /dev/null -w '%{http_code} %{size_upload} %{num_connects}\n'
           --connect-to "::127.0.0.1:$port" --cacert "$state/tls/ca.pem"
           -H 'x-ms-version: 2018-03-28' -H "Authorization: Bearer $token" -H 'Expect:'
           -H 'x-ms-page-write: update' -H "x-ms-range: bytes=$first-$((first + piece - 1))"
           -T "$work/body" "$url?comp=page")
  done
  curl "${args[@]}" > "$work/client.$client"
}

start=$(date +%s.%N)
if [[ $put -eq 1 ]]; then
  if (( clients * requests > pieces )); then echo "$clients x $requests pieces do not fit a ${size_mib} MiB blob" >&2; exit 2; fi
  for ((c = 0; c < clients; c++)); do run_put_client "$c" & done
else
  for ((c = 0; c < clients; c++)); do run_client "$c" & done
fi
wait $(jobs -p | grep -v "^$server_pid\$")
end=$(date +%s.%N)

if [[ $put -eq 1 ]]; then
  bad=$(cat "$work"/client.* | awk -v p=$piece '$1 != 201 || $2 != p' | wc -l)
  connects=$(cat "$work"/client.* | awk '{ s += $3 } END { print s + 0 }')
else
  bad=$(cat "$work"/client.* | awk -v p=$piece '$1 != 206 || $2 != p' | wc -l)
fi
total=$(cat "$work"/client.* | awk '{ s += $2 } END { print s + 0 }')
exec 3>&-
wait "$server_pid" || true
server_pid=""
if [[ $put -eq 1 ]]; then
  awk -v bytes="$total" -v s="$start" -v e="$end" -v c="$clients" -v r="$requests" -v n="$connects" 'BEGIN {
    secs = e - s
    printf "%d clients x %d PUTs of 4 MiB: %.1f MB in %.2f s = %.1f MB/s, %d connections\n", c, r, bytes / 1e6, secs, bytes / 1e6 / secs, n
  }'
else
  awk -v bytes="$total" -v s="$start" -v e="$end" -v c="$clients" -v r="$requests" 'BEGIN {
    secs = e - s
    printf "%d clients x %d GETs of 4 MiB: %.1f MB in %.2f s = %.1f MB/s\n", c, r, bytes / 1e6, secs, bytes / 1e6 / secs
  }'
fi
cat "$work/server.err"
if [[ $bad -ne 0 ]]; then
  [[ $put -eq 1 ]] && echo "$bad page PUTs were not answered 201 with a full 4 MiB body sent" >&2 \
                   || echo "$bad requests did not return a full 4 MiB range" >&2
  exit 1
fi
