#!/usr/bin/env bash
# Costs of the backup store against baselines measured in the same run, each a
# ratio of medians over --reps repetitions (taken in turns, so that a slow spell
# of the machine hits both sides):
#   1  full backup of a 16 GiB disk with 64 MiB allocated / a 256 MiB disk with the same 64 MiB
#   2  incremental backup after a 64 KiB change, the same two disks
#   3  export of the job at the end of a chain of one full and --depth incrementals
#      (a small change each) / export of the chain's full job alone, the same disk
#   4  verify --job of the 16 GiB disk's full job / of the 256 MiB disk's
#   5  full backup of a dense 1 GiB disk with every blob GET delayed 50 ms / without the
#      delay, default settings; the same with --threads 4 for reference
#   6  peak resident memory of the backups. The agent serves the blob endpoint in
#      its own process, so the endpoint's own peak at the same number of parallel
#      4 MiB GETs is measured on its own (endpoint_bench serve) and taken off.
#
#   bench/store-bench.sh [--build DIR] [--reps N] [--depth D]
#
# DIR holds the targets vsagent azsim-tool endpoint_bench (default ../build);
# N defaults to 5, D to 30. BENCH_STORE=DIR puts the backup stores in DIR
# (e.g. on tmpfs, to take the store's disk writes out of the figures).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
reps=5
depth=30
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --depth) depth=$2; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
vsagent="$build/agent/vsagent"
azsim="$build/azsim/azsim"
endpoint="$build/bench/endpoint_bench"
for p in "$vsagent" "$azsim" "$endpoint"; do
  [[ -x "$p" ]] || { echo "$p not built (targets vsagent azsim-tool endpoint_bench)" >&2; exit 2; }
done
[[ $reps -ge 1 && $depth -ge $reps ]] || { echo "--reps must be at least 1 and --depth at least --reps" >&2; exit 2; }

work=$(mktemp -d)
stores=$(mktemp -d "${BENCH_STORE:-$work}/store-bench.XXXXXX")
trap 'rm -rf "$work" "$stores"' EXIT
cloud="$work/cloud"
figures="$work/figures"   # one "name value" line per measurement
: > "$figures"
MiB=1048576

source "$here/scenario.sh"
spread() {  # 16 extents of 4 MiB, one every STRIDE MiB
  local out="[" i
  for i in $(seq 0 15); do
    [[ $i -gt 0 ]] && out+=","
    out+="{\"offset\": $((i * $1 * MiB)), \"length\": $((4 * MiB)), \"fill\": \"random\", \"seed\": $((i + 10))}"
  done
  echo "$out]"
}
bench_scenario "$(bench_vm bench-big16g 16384 "$(spread 1024)")" "$(bench_vm bench-small256m 256 "$(spread 16)")" \
  "$(bench_vm bench-dense1g 1024 '[{"offset": 0, "length": 1073741824, "fill": "random", "seed": 1}]')" \
  > "$work/scenario.json"
echo "seeding: 16 GiB and 256 MiB disks with 64 MiB allocated each, a dense 1 GiB disk ..."
"$azsim" init --state "$cloud" --scenario "$work/scenario.json" > /dev/null

now() { date +%s.%N; }
record() { echo "$1 $2" >> "$figures"; }

# run NAME STORE COMMAND...: records NAME.wall (s) and NAME.rss (KiB); output in $work/out, job log in $work/job.log.
run() {
  local name=$1 store=$2 start end
  shift 2
  : > "$work/job.log"
  sync  # each case starts without the write-back of the one before
  start=$(now)
  /usr/bin/time -f "%M" -o "$work/rss" "$vsagent" "$1" --store "$store" --cloud "$cloud" --log "$work/job.log" \
    "${@:2}" > "$work/out"
  end=$(now)
  record "$name.wall" "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }')"
  record "$name.rss" "$(cat "$work/rss")"
}
field() { python3 -c "import json; print(json.load(open('$work/out'))$1)"; }
# backup NAME STORE VM [options]: also records NAME.read (read seconds), NAME.bytes, NAME.threads and NAME.final.
backup() {
  local name=$1 store=$2
  run "$name" "$store" backup --vm "$3" --json "${@:4}"
  record "$name.read" "$(field "['readSeconds']")"
  record "$name.bytes" "$(field "['bytesRead']")"
  # The reader's last line: "... on N threads, M at the end" (N started in all).
  record "$name.threads" "$(grep -o 'on [0-9]* threads' "$work/job.log" | tail -1 | awk '{ print $2 }' | grep . || echo 0)"
  record "$name.final" "$(grep -o '[0-9]* at the end' "$work/job.log" | tail -1 | awk '{ print $1 }' | grep . || echo 0)"
  last_job=$(field "['jobId']")
}
incremental() { [[ $(field "['backupType']") == incremental ]] || { echo "job $last_job is not incremental" >&2; exit 1; }; }
change() {  # VM OFFSET SEED: 64 KiB of new guest data
  "$azsim" write --state "$cloud" --vm "$1" --offset "$2" --random "$3" --length 65536 > /dev/null
}

echo "1, 4: full backups and verify of the 16 GiB and the 256 MiB disk ($reps each) ..."
for r in $(seq "$reps"); do
  backup full.big "$stores/sparse" bench-big16g --full; big_job=$last_job
  backup full.small "$stores/sparse" bench-small256m --full; small_job=$last_job
done
for r in $(seq "$reps"); do
  run verify.big "$stores/sparse" verify --job "$big_job"
  run verify.small "$stores/sparse" verify --job "$small_job"
done
chain_root=$small_job

echo "2: incremental backups after a 64 KiB change ($reps each) ..."
for r in $(seq "$reps"); do
  change bench-big16g $(( (r * 1024 + 1) * MiB )) "$r"
  backup incr.big "$stores/sparse" bench-big16g; incremental
  change bench-small256m $(( (r * 16 + 1) * MiB )) "$r"
  backup incr.small "$stores/sparse" bench-small256m; incremental
done

echo "3: $((depth - reps)) more incrementals of the 256 MiB disk, then exports at chain depth 1 and $((depth + 1)) ..."
for r in $(seq $((reps + 1)) "$depth"); do
  change bench-small256m $(( (r % 16 * 16 + 2) * MiB )) "$r"
  backup chain "$stores/sparse" bench-small256m
  incremental
done
chain_end=$last_job
for r in $(seq "$reps"); do
  run export.deep "$stores/sparse" export --job "$chain_end" --disk 0 --out "$work/export.img"
  rm -f "$work/export.img"
  run export.one "$stores/sparse" export --job "$chain_root" --disk 0 --out "$work/export.img"
  rm -f "$work/export.img"
done

echo "5: full backups of the dense 1 GiB disk, with and without a 50 ms delay per blob GET ($reps each) ..."
delay() { "$azsim" fault --state "$cloud" add-http --method GET --path '*' --kind delay --delay-ms 50 --times -1 > /dev/null; }
nodelay() { "$azsim" fault --state "$cloud" clear > /dev/null; }
dense() {  # NAME [options]; keeps only the newest job, so that the store holds one image at a time
  backup "$1" "$stores/dense" bench-dense1g --full "${@:2}"
  find "$stores/dense/bench-dense1g" -mindepth 1 -maxdepth 1 -name 'job-*' ! -name "job-$last_job" -exec rm -rf {} +
}
for r in $(seq "$reps"); do
  nodelay; dense dense.default
  delay; dense dense.default.delay
  nodelay; dense dense.t4 --threads 4
  delay; dense dense.t4.delay --threads 4
done
nodelay

echo "6: the endpoint's own peak memory at the default backup's concurrency ..."
threads=$(awk '$1 == "dense.default.threads" || $1 == "dense.default.delay.threads" { print $2 }' "$figures" | sort -n | tail -1)
cat > "$work/endpoint-rss" <<SH
#!/usr/bin/env bash
# endpoint_bench with its serving process's peak RSS kept in $work/endpoint.rss
if [[ \$1 == serve ]]; then exec /usr/bin/time -f "%M" -o "$work/endpoint.rss" "$endpoint" "\$@"; fi
exec "$endpoint" "\$@"
SH
chmod +x "$work/endpoint-rss"
"$here/endpoint-throughput.sh" --clients "$threads" --requests 8 --size-mib 256 --bench "$work/endpoint-rss" > /dev/null
record endpoint.rss "$(cat "$work/endpoint.rss")"

python3 - "$figures" "$threads" "$depth" <<'PY'
import statistics, sys
values = {}
for line in open(sys.argv[1]):
    name, value = line.split()
    if value:
        values.setdefault(name, []).append(float(value))
threads, depth = int(sys.argv[2]), int(sys.argv[3])
med = lambda name: statistics.median(values[name])
def ratio(label, a, b, aim, higher=False):
    r = med(a) / med(b)
    ok = r >= aim if higher else r <= aim
    print(f"{label:46s} {r:6.2f}   ({med(a):.3f} s / {med(b):.3f} s; aim {'>=' if higher else '<='} {aim}: {'met' if ok else 'NOT met'})")
counts = lambda name: " ".join(f"{int(a)}/{int(b)}" for a, b in zip(values[name + ".threads"], values[name + ".final"]))
mbps = lambda name: statistics.median(b / s / 1e6 for b, s in zip(values[name + ".bytes"], values[name + ".read"]))

print("ratios (medians of the same run)")
ratio("1 full 16 GiB / 256 MiB, 64 MiB each, wall", "full.big.wall", "full.small.wall", 1.5)
ratio("  reading only", "full.big.read", "full.small.read", 1.5)
ratio("2 incremental after 64 KiB, wall", "incr.big.wall", "incr.small.wall", 1.5)
ratio("  reading only", "incr.big.read", "incr.small.read", 1.5)
ratio(f"3 export at chain depth {depth + 1} / depth 1", "export.deep.wall", "export.one.wall", 1.5)
ratio("4 verify --job 16 GiB / 256 MiB", "verify.big.wall", "verify.small.wall", 1.5)
ratio("5 full 1 GiB, default, 50 ms delay: rate ratio", "dense.default.wall", "dense.default.delay.wall", 0.9, True)
print(f"  reading: {mbps('dense.default.delay'):.0f} MB/s with the delay, {mbps('dense.default'):.0f} MB/s without"
      f" = {mbps('dense.default.delay') / mbps('dense.default'):.2f};"
      f" threads started, at the end: {counts('dense.default')} without, {counts('dense.default.delay')} with the delay")
print(f"  default / --threads 4 without the delay: {mbps('dense.default') / mbps('dense.t4'):.2f} reading,"
      f" {med('dense.t4.wall') / med('dense.default.wall'):.2f} wall; with it: {mbps('dense.default.delay') / mbps('dense.t4.delay'):.2f}"
      f" reading, {med('dense.t4.delay.wall') / med('dense.default.delay.wall'):.2f} wall")
print(f"  --threads 4: {mbps('dense.t4.delay'):.0f} MB/s with the delay, {mbps('dense.t4'):.0f} MB/s without"
      f" = {mbps('dense.t4.delay') / mbps('dense.t4'):.2f} reading,"
      f" {med('dense.t4.wall') / med('dense.t4.delay.wall'):.2f} wall")
if "chain.wall" in values:
    print(f"  an incremental in the chain took {med('chain.wall'):.2f} s")

print("6 peak RSS (MiB), the worst run of each kind against 64 MiB + 8 MiB per thread it ran")
endpoint = values["endpoint.rss"][0] / 1024
def worst(prefix, less=0.0):
    runs = [(rss / 1024 - less, int(t)) for rss, t in zip(values[prefix + ".rss"], values[prefix + ".threads"])]
    return max(runs, key=lambda run: run[0] / (64 + 8 * run[1]))
for label, prefix in [("full 16 GiB / 64 MiB", "full.big"), ("full 256 MiB / 64 MiB", "full.small"),
                      ("incremental 16 GiB", "incr.big"), ("incremental 256 MiB", "incr.small"),
                      ("full 1 GiB dense, default", "dense.default"), ("  the same, 50 ms delay", "dense.default.delay"),
                      ("full 1 GiB dense, --threads 4", "dense.t4"), ("  the same, 50 ms delay", "dense.t4.delay")]:
    rss, count = worst(prefix)
    print(f"  {label:32s} {rss:6.0f} with {count:2d} threads, bound {64 + 8 * count}")
print(f"  {f'the endpoint alone, {threads} GETs':32s} {endpoint:6.0f}")
for label, prefix in [("dense default, less the endpoint", "dense.default"), ("  the same, 50 ms delay", "dense.default.delay")]:
    rss, count = worst(prefix, endpoint)
    print(f"  {label:32s} {rss:6.0f} with {count:2d} threads, bound {64 + 8 * count}")
PY
