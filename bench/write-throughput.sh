#!/usr/bin/env bash
# Disk write throughput through the plugin's own page PUTs (WriteVmdk with
# bAzureEnableNativeUpload, 4 MiB writes, bearer token) into an empty page blob,
# with 1, 2 and 4 threads, each writing its own contiguous range, next to the
# parallel-curl baseline of bench/endpoint-throughput.sh --put (4 MiB Put Page
# requests, "x-ms-page-write: update", as many clients, each its own range),
# both measured in this run against the same simulated blob endpoint. Each
# thread count runs the baseline and then the plugin, back to back, ROUNDS
# times; the summary gives the median MB/s of each and their ratio, and the TLS
# handshakes of a run (one per thread is the aim).
#
#   bench/write-throughput.sh [--build DIR] [--size-mib S] [--rounds R]
#
# DIR is a build folder holding bench/write_bench and bench/endpoint_bench
# (default: ../build); S the disk size (default 1024 MiB); R (default 3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
size_mib=1024
rounds=3
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
for tool in write_bench endpoint_bench; do
  [[ -x "$build/bench/$tool" ]] || { echo "$build/bench/$tool not found (build target $tool)" >&2; exit 2; }
done
pieces=$((size_mib / 4))
for n in 1 2 4; do
  (( pieces % n == 0 )) || { echo "--size-mib must be a multiple of 16" >&2; exit 2; }
done

results=$(mktemp)
trap 'rm -f "$results"' EXIT
mbps() { sed -n 's/.* = \([0-9.]*\) MB\/s.*/\1/p'; }

for ((round = 1; round <= rounds; round++)); do
  echo "== round $round of $rounds =="
  for n in 1 2 4; do
    base=$("$here/endpoint-throughput.sh" --put --clients "$n" --requests $((pieces / n)) \
      --size-mib "$size_mib" --bench "$build/bench/endpoint_bench" | grep -v '^preparing')
    echo "curl baseline  $base" | head -1
    echo "$base" | sed -n 's/^requests [0-9]*, TLS handshakes \([0-9]*\)$/  endpoint: \1 TLS handshakes/p'
    plugin=$("$build/bench/write_bench" "$size_mib" "$n")
    echo "plugin path    $plugin"
    handshakes=$(echo "$plugin" | sed -n 's/.*, \([0-9]*\) TLS handshakes.*/\1/p')
    echo "$n $(echo "$base" | head -1 | mbps) $(echo "$plugin" | mbps) $handshakes" >> "$results"
  done
done

echo "== summary: median of $rounds rounds, ${size_mib} MiB per run =="
for n in 1 2 4; do
  awk -v n="$n" '$1 == n' "$results" | sort -k2,2g | awk '{ b[NR] = $2 } END { print b[int((NR + 1) / 2)] }' > "$results.b"
  awk -v n="$n" '$1 == n' "$results" | sort -k3,3g | awk '{ p[NR] = $3 } END { print p[int((NR + 1) / 2)] }' > "$results.p"
  hs=$(awk -v n="$n" '$1 == n { printf "%s%s", sep, $4; sep = "," }' "$results")
  awk -v n="$n" -v b="$(cat "$results.b")" -v p="$(cat "$results.p")" -v hs="$hs" 'BEGIN {
    printf "%d thread%s: curl %.1f MB/s, WriteVmdk %.1f MB/s, ratio %.2f; TLS handshakes per run: %s\n",
      n, (n > 1 ? "s" : " "), b, p, p / b, hs
  }'
  rm -f "$results.b" "$results.p"
done
