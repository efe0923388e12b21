#!/usr/bin/env bash
# Costs of vsagent restore against baselines measured in the same run, each a
# ratio of medians over --reps repetitions taken in turns:
#   1  the write phase of a restore of a fully allocated 1 GiB disk (page blobs,
#      --threads T, the plugin's own page PUTs over HTTPS: bAzureEnableNativeUpload)
#      / T parallel curl clients putting the same 1 GiB as 4 MiB page PUTs into
#      the same endpoint (bench/endpoint-throughput.sh --put); aim >= 0.9. The
#      same restore through the SDK wrapper's upload (which writes the blob store
#      directly, no HTTPS) is shown for reference, and so is a restore of the 256 MiB
#      disk as a managed VM (wrapper upload, then the import of the staged blob).
#   2  a whole restore of a 4 GiB disk with 256 MiB stored / of a dense 256 MiB
#      disk (wall time, the same steps); aim <= 1.2
#   3  peak resident memory of each restore (the agent also serves the endpoint)
#      against a budget of 64 MiB + 8 MiB per writer thread, beyond the endpoint's
#      own for a restore over HTTPS: the peak RSS of the endpoint process serving
#      as many curl clients putting 4 MiB pages as the restore had writer threads.
#
#   bench/restore-bench.sh [--build DIR] [--reps N] [--threads T]
#
# DIR holds the targets vsagent azsim-tool endpoint_bench (default ../build);
# N defaults to 3, T to 16.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
reps=3
threads=16
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
vsagent="$build/agent/vsagent"
azsim="$build/azsim/azsim"
endpoint="$build/bench/endpoint_bench"
for p in "$vsagent" "$azsim" "$endpoint"; do
  [[ -x "$p" ]] || { echo "$p not built (targets vsagent azsim-tool endpoint_bench)" >&2; exit 2; }
done
(( 256 % threads == 0 )) || { echo "--threads must divide 256" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cloud="$work/cloud"
store="$work/store"
figures="$work/figures"
: > "$figures"
MiB=1048576

source "$here/scenario.sh"
spread() {  # 64 extents of 4 MiB, one every 64 MiB: 256 MiB of a 4 GiB disk
  local out="[" i
  for i in $(seq 0 63); do
    [[ $i -gt 0 ]] && out+=","
    out+="{\"offset\": $((i * 64 * MiB)), \"length\": $((4 * MiB)), \"fill\": \"random\", \"seed\": $((i + 10))}"
  done
  echo "$out]"
}
bench_scenario "$(bench_vm bench-dense1g 1024 '[{"offset": 0, "length": 1073741824, "fill": "random", "seed": 1}]')" \
  "$(bench_vm bench-sparse4g 4096 "$(spread)")" \
  "$(bench_vm bench-dense256m 256 '[{"offset": 0, "length": 268435456, "fill": "random", "seed": 2}]')" \
  > "$work/scenario.json"
echo "seeding: a dense 1 GiB disk, a 4 GiB disk with 256 MiB allocated, a dense 256 MiB disk ..."
"$azsim" init --state "$cloud" --scenario "$work/scenario.json" > /dev/null

field() { python3 -c "import json; print(json.load(open('$work/out'))$1)"; }
record() { echo "$1 $2" >> "$figures"; }
for vm in bench-dense1g bench-sparse4g bench-dense256m; do
  "$vsagent" backup --vm "$vm" --store "$store" --cloud "$cloud" --json > "$work/out"
  eval "job_${vm//-/_}=$(field "['jobId']")"
done

# The endpoint process of the curl baseline, with its peak RSS kept in $work/endpoint.rss.
cat > "$work/endpoint-rss" <<SH
#!/usr/bin/env bash
if [[ \$1 == serve ]]; then exec /usr/bin/time -f "%M" -o "$work/endpoint.rss" "$endpoint" "\$@"; fi
exec "$endpoint" "\$@"
SH
chmod +x "$work/endpoint-rss"

# The plugin's HTTPS page writer for the restores measured against curl.
printf '[VirtualServer]\nbAzureEnableNativeUpload=1\n' > "$work/native.ini"

unmanaged="--unmanaged --storage benchstore01"
# restore NAME JOB [options]: records NAME.wall, NAME.rss, NAME.mbps (write phase) and NAME.bytes.
n=0
restore() {
  local name=$1 job=$2 start end
  n=$((n + 1))
  sync
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/rss" "$vsagent" restore --store "$store" --cloud "$cloud" --job "$job" \
    --name "r$n-$name" --json "${@:3}" > "$work/out"
  end=$(date +%s.%N)
  record "$name.wall" "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }')"
  record "$name.rss" "$(cat "$work/rss")"
  record "$name.mbps" "$(python3 -c "import json; d = json.load(open('$work/out')); print(d['bytesWritten'] / max(d['writeSeconds'], 1e-9) / 1e6)")"
  record "$name.bytes" "$(field "['bytesWritten']")"
  record "$name.threads" "$(field "['writerThreads']")"
}

for r in $(seq "$reps"); do
  echo "== round $r of $reps =="
  base=$("$here/endpoint-throughput.sh" --put --clients "$threads" --requests $((256 / threads)) --size-mib 1024 \
    --bench "$work/endpoint-rss" | grep -v '^preparing' | head -1)
  echo "curl baseline   $base, endpoint peak RSS $(cat "$work/endpoint.rss") KiB"
  record curl.mbps "$(echo "$base" | sed -n 's/.* = \([0-9.]*\) MB\/s.*/\1/p')"
  record "endpoint.$threads.rss" "$(cat "$work/endpoint.rss")"
  restore dense1g "$job_bench_dense1g" $unmanaged --threads "$threads" --settings "$work/native.ini"
  echo "restore 1 GiB   $(tail -5 "$figures" | tr '\n' ' ')"
  restore wrapper1g "$job_bench_dense1g" $unmanaged --threads "$threads"
  restore sparse4g "$job_bench_sparse4g" $unmanaged --settings "$work/native.ini"
  restore dense256m "$job_bench_dense256m" $unmanaged --settings "$work/native.ini"
  restore managed256m "$job_bench_dense256m"
done

median() { awk -v k="$1" '$1 == k { print $2 }' "$figures" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "== summary: medians of $reps rounds =="
awk -v c="$(median curl.mbps)" -v p="$(median dense1g.mbps)" -v t="$threads" 'BEGIN {
  printf "1  restore of a dense 1 GiB disk, write phase over HTTPS: %.1f MB/s; curl PUTs, %d clients: %.1f MB/s; ratio %.2f (aim >= 0.9)\n", p, t, c, p / c }'
echo "   through the SDK wrapper's upload (no HTTPS), for reference: $(median wrapper1g.mbps) MB/s"
awk -v a="$(median sparse4g.wall)" -v b="$(median dense256m.wall)" 'BEGIN {
  printf "2  restore of a 4 GiB disk with 256 MiB stored: %.3f s; of a dense 256 MiB disk: %.3f s; ratio %.2f (aim <= 1.2)\n", a, b, a / b }'
# The endpoint's own peak RSS (KiB) under N curl clients putting 4 MiB pages, measured once per N.
endpoint_rss() {
  local clients=$1
  if ! grep -q "^endpoint.$clients.rss " "$figures"; then
    "$here/endpoint-throughput.sh" --put --clients "$clients" --requests $((256 / clients)) --size-mib 1024 \
      --bench "$work/endpoint-rss" > /dev/null
    record "endpoint.$clients.rss" "$(cat "$work/endpoint.rss")"
  fi
  median "endpoint.$clients.rss"
}
echo "3  peak RSS against 64 MiB + 8 MiB per writer thread (+ the endpoint's own for a restore over HTTPS):"
for name in dense1g wrapper1g sparse4g dense256m managed256m; do
  t=$(median "$name.threads")
  own=0
  [[ $name != wrapper1g && $name != managed256m ]] && own=$(endpoint_rss "$t")
  awk -v n="$name" -v rss="$(median "$name.rss")" -v t="$t" -v e="$own" 'BEGIN {
    budget = e + 65536 + 8192 * t
    printf "   %-10s %7d KiB, %2d writer threads, endpoint %7d KiB, budget %7d KiB: %s\n", n, rss, t, e, budget,
           rss <= budget ? "within" : "OVER" }'
done
echo "   bytes written: dense 1 GiB $(median dense1g.bytes), 4 GiB sparse $(median sparse4g.bytes), 256 MiB $(median dense256m.bytes)"
