#!/usr/bin/env bash
# Backup cost of vsagent against the simulated blob endpoint, with the parallel-curl
# baseline of the same endpoint measured in the same run (bench/endpoint-throughput.sh).
#
#   bench/backup-bench.sh [--build DIR] [--threads N]
#
# Figures: full backup of a fully allocated 1 GiB disk (MB/s against the baseline
# with N clients, once with curl discarding the bytes and once keeping them in
# files beside the store, as the backup keeps them); a 4 GiB disk with 256 MiB
# allocated against a dense 256 MiB disk (cost should follow allocated bytes); an
# incremental backup after 1% of the 1 GiB disk was rewritten in scattered 4 KiB
# writes (bytes read / bytes changed, requests);
# peak resident memory of each backup (the agent serves the endpoint in-process, so
# this includes the endpoint's own memory). BENCH_STORE=DIR puts the backup store
# elsewhere (e.g. on tmpfs, to take the store's disk writes out of the figures).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
threads=4
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
vsagent="$build/agent/vsagent"
azsim="$build/azsim/azsim"
helper="$build/bench/backup_bench"
for p in "$vsagent" "$azsim" "$helper" "$build/bench/endpoint_bench"; do
  [[ -x "$p" ]] || { echo "$p not built (targets vsagent azsim-tool backup_bench endpoint_bench)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cloud="$work/cloud"
store="${BENCH_STORE:-$work/store}"

# One managed VM per case.
source "$here/scenario.sh"
sparse="["
for i in $(seq 0 63); do
  [[ $i -gt 0 ]] && sparse+=","
  sparse+="{\"offset\": $((i * 64 * 1048576)), \"length\": 4194304, \"fill\": \"random\", \"seed\": $i}"
done
sparse+="]"
bench_scenario "$(bench_vm bench-dense1g 1024 '[{"offset": 0, "length": 1073741824, "fill": "random", "seed": 1}]')" \
  "$(bench_vm bench-dense256m 256 '[{"offset": 0, "length": 268435456, "fill": "random", "seed": 2}]')" \
  "$(bench_vm bench-sparse4g 4096 "$sparse")" > "$work/scenario.json"
echo "seeding the bench subscription (1 GiB + 256 MiB + 4 GiB with 256 MiB allocated) ..."
"$azsim" init --state "$cloud" --scenario "$work/scenario.json" > /dev/null

echo "baselines: parallel curl, $threads clients x 64 GETs of 4 MiB, to /dev/null and kept in the store's folder ..."
mkdir -p "$store" "$work/endpoint"
curl_rate() {
  "$here/endpoint-throughput.sh" --state "$work/endpoint" --clients "$threads" --requests 64 --size-mib 1024 \
    --bench "$build/bench/endpoint_bench" "$@" | awk '/MB\/s/ { print $(NF-1) }'
}
baseline=$(curl_rate)
kept_baseline=$(curl_rate --keep "$store")
rm -rf "$work/endpoint"

backup() {  # vm [options] -> JSON summary in $work/last.json, peak RSS (KiB) in $work/last.rss
  sync  # each case starts without the write-back of the one before
  /usr/bin/time -f "%M" -o "$work/last.rss" "$vsagent" backup --vm "$1" --store "$store" --threads "$threads" \
    --cloud "$cloud" --log "$work/job.log" --json "${@:2}" > "$work/last.json"
}
field() { python3 -c "import json,sys; print(json.load(open('$work/last.json'))$1)"; }

backup bench-dense1g
full_bytes=$(field "['bytesRead']"); full_read=$(field "['readSeconds']"); full_total=$(field "['seconds']")
full_rss=$(cat "$work/last.rss")
backup bench-dense256m
dense_read=$(field "['readSeconds']"); dense_total=$(field "['seconds']"); dense_rss=$(cat "$work/last.rss")
backup bench-sparse4g
sparse_bytes=$(field "['bytesRead']"); sparse_read=$(field "['readSeconds']"); sparse_total=$(field "['seconds']")
sparse_rss=$(cat "$work/last.rss")

changed=$("$helper" scatter "$cloud" bench-dense1g 0 2621 7)
backup bench-dense1g
incr_type=$(field "['backupType']"); incr_bytes=$(field "['bytesRead']"); incr_requests=$(field "['requests']")
incr_reads=$(field "['reads']"); incr_rss=$(cat "$work/last.rss")

python3 - <<PY
mb = lambda b, s: b / s / 1e6
full_rate = mb($full_bytes, $full_read)
print(f"threads                       {$threads}")
print(f"baseline (parallel curl)      {float('$baseline'):.1f} MB/s to /dev/null, {float('$kept_baseline'):.1f} MB/s kept in files")
print(f"full 1 GiB dense              {full_rate:.1f} MB/s reading ({$full_read:.2f} s), {$full_total:.2f} s in all;"
      f" {full_rate / float('$baseline'):.2f} of the baseline, {full_rate / float('$kept_baseline'):.2f} of curl keeping the bytes")
print(f"4 GiB, 256 MiB allocated      read {$sparse_bytes / 2**20:.0f} MiB in {$sparse_read:.2f} s ({$sparse_total:.2f} s in all)")
print(f"256 MiB dense                 read in {$dense_read:.2f} s ({$dense_total:.2f} s in all)")
print(f"sparse / dense cost           {$sparse_read / $dense_read:.2f} reading, {$sparse_total / $dense_total:.2f} in all")
print(f"incremental after 1% scatter  {'$incr_type'}: {$incr_bytes} bytes read for {$changed} changed"
      f" = {$incr_bytes / $changed:.3f}; {$incr_reads} reads, {$incr_requests} HTTP requests")
print(f"peak RSS (KiB)                full {$full_rss}, 256 MiB {$dense_rss}, sparse {$sparse_rss}, incremental {$incr_rss}"
      f"; bound {64 * 1024 + 8 * 1024 * $threads}")
PY
