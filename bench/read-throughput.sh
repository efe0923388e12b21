#!/usr/bin/env bash
# Disk read throughput through the plugin's data path (ReadVmdk, 4 MiB blocks,
# bearer token) on a fully written disk, with 1, 2 and 4 threads, next to the
# parallel-curl baseline of bench/endpoint-throughput.sh with as many clients,
# both measured in this run against the same simulated blob endpoint.
#
#   bench/read-throughput.sh [--build DIR] [--size-mib S]
#
# DIR is a build folder holding bench/read_bench and bench/endpoint_bench
# (default: ../build); S the disk size (default 1024 MiB).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
size_mib=1024
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
for tool in read_bench endpoint_bench; do
  [[ -x "$build/bench/$tool" ]] || { echo "$build/bench/$tool not found (build target $tool)" >&2; exit 2; }
done

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
pieces=$((size_mib / 4))

echo "== parallel curl baseline (4 MiB range GETs over kept-alive connections) =="
for clients in 1 2 4; do
  "$here/endpoint-throughput.sh" --state "$state" --clients "$clients" --requests $((pieces / clients)) \
    --size-mib "$size_mib" --bench "$build/bench/endpoint_bench" | grep -v '^preparing'
done
rm -rf "$state"

echo "== plugin data path (ReadVmdk) =="
"$build/bench/read_bench" "$size_mib"
