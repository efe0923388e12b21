#!/usr/bin/env bash
# The wrapper over the cloud's REST protocol against the wrapper as it was before,
# when it changed the simulated subscription in-process, in the same run:
#
#   bench/rest-bench.sh [--build DIR] [--base COMMIT] [--base-tree DIR] [--rounds N]
#
# Both agents (this tree's, and one built from COMMIT in a scratch worktree; default
# the last commit before the wrapper moved onto the protocol) back up the same
# 3-disk managed VM (3 x 256 MiB, fully allocated) in full and restore that job as a
# new VM, N rounds each, alternating. Printed: the median seconds of each, the ratio
# REST / in-process (the target is at most 1.1) and the median CPU seconds of each
# (the TLS of the data moved shows there); and, for one REST backup, the
# management requests it made by kind against the least the protocol allows for a
# full backup of a 3-disk VM. With --base-tree the base is checked out and built in
# DIR and kept there, so that later runs reuse it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build="$repo/build"
base=89cd1c9
rounds=3
base_tree=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --base) base=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --base-tree) base_tree=$2; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
for p in "$build/agent/vsagent" "$build/azsim/azsim"; do
  [[ -x "$p" ]] || { echo "$p not built (targets vsagent azsim-tool)" >&2; exit 2; }
done

work=$(mktemp -d)
keep=$([[ -n $base_tree ]] && echo yes || echo no)
base_tree=${base_tree:-$work/base}
cleanup() {
  [[ $keep == yes ]] || git -C "$repo" worktree remove --force "$base_tree" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "building the in-process agent of $base in $base_tree (the compiler cache makes this quick) ..."
[[ -d $base_tree ]] || git -C "$repo" worktree add --detach "$base_tree" "$base" >/dev/null 2>&1
[[ $(git -C "$base_tree" rev-parse HEAD) == $(git -C "$repo" rev-parse "$base^{commit}") ]] ||
  { echo "$base_tree does not hold $base" >&2; exit 2; }
cmake -S "$base_tree" -B "$base_tree/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$base_tree/build" -j "$(nproc)" --target vsagent AzureInfo >/dev/null

source "$here/scenario.sh"
disk() { echo "{\"name\": \"$1\", \"sizeMiB\": 256, \"sku\": \"Premium_LRS\", \"content\": [{\"offset\": 0, \"length\": 268435456, \"fill\": \"random\", \"seed\": $2}]}"; }
vm=$(cat <<JSON
    {"name": "bench-3disk", "resourceGroup": "rg-bench", "region": "westeurope", "size": "Standard_D4s_v3",
     "osType": "Linux", "powerState": "running", "managed": true, "nics": [],
     "disks": [$(disk bench-3disk-osdisk 1), $(disk bench-3disk-data1 2), $(disk bench-3disk-data2 3)]}
JSON
)
bench_scenario "$vm" > "$work/scenario.json"

# timed OUT CMD...: runs CMD with its output in OUT; prints its wall seconds and the CPU seconds
# (user and system, of every thread, the embedded subscription's included) it used.
timed() {
  python3 - "$@" <<'PY2'
import resource, subprocess, sys, time
start = time.monotonic()
with open(sys.argv[1], "w") as out:
    code = subprocess.run(sys.argv[2:], stdout=out).returncode
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{time.monotonic() - start:.4f} {used.ru_utime + used.ru_stime:.4f}")
sys.exit(code)
PY2
}

# run KIND ROUND: a full backup, then a restore of it as a new VM, on a fresh copy of the subscription.
# Each timed step starts after a sync, so that neither pays for writing back what the other left dirty.
run() {
  local agent cloud store backup restore job
  agent=$([[ $1 == rest ]] && echo "$build/agent/vsagent" || echo "$base_tree/build/agent/vsagent")
  cloud="$work/$1-$2/cloud"; store="$work/$1-$2/store"
  "$build/azsim/azsim" init --state "$cloud" --scenario "$work/scenario.json" > /dev/null
  sync
  backup=$(timed "$work/$1-$2/backup.json" "$agent" backup --vm bench-3disk --store "$store" --cloud "$cloud" \
    --log "$work/$1-$2/job.log" --json)
  wc -l < "$cloud/requests.jsonl" > "$work/$1-$2/backup.lines"
  job=$(python3 -c "import json; print(json.load(open('$work/$1-$2/backup.json'))['jobId'])")
  sync
  restore=$(timed "$work/$1-$2/restore.json" "$agent" restore --store "$store" --cloud "$cloud" --job "$job" \
    --name "r-$2" --json --log "$work/$1-$2/job.log")
  echo "$1 $backup $restore" >> "$work/times"
}
# The order alternates from round to round, so that neither kind always runs on a cache the other warmed.
for r in $(seq 1 "$rounds"); do
  echo "round $r of $rounds ..."
  if (( r % 2 )); then run inprocess "$r"; run rest "$r"; else run rest "$r"; run inprocess "$r"; fi
done

# The management requests of the first REST backup (token, Resource Manager), from the endpoint's request log.
python3 - "$work" <<'PY'
import json, statistics, sys, re, collections
work = sys.argv[1]
times = collections.defaultdict(list)
for line in open(f"{work}/times"):
    kind, *values = line.split()
    times[kind].append([float(v) for v in values])
# Per kind, the medians of: backup wall, backup CPU, restore wall, restore CPU.
med = {k: [statistics.median(column) for column in zip(*rows)] for k, rows in times.items()}
for name, at in (("full backup, 3 x 256 MiB", 0), ("restore as a new VM", 2)):
    base, rest = med["inprocess"], med["rest"]
    print(f"{name:26s} in-process {base[at]:.2f} s, REST {rest[at]:.2f} s, ratio {rest[at] / base[at]:.3f}"
          f"   (CPU {base[at + 1]:.2f} s against {rest[at + 1]:.2f} s)")
# Requests of the first REST round up to the end of its backup.
kinds = collections.Counter()
lines = int(open(f"{work}/rest-1/backup.lines").read())
log = [json.loads(l) for l in open(f"{work}/rest-1/cloud/requests.jsonl").readlines()[:lines]]
for rec in log:
    path = rec.get("path", "")
    if not (path.startswith("/subscriptions") or "/oauth2/" in path):
        continue
    shape = re.sub(r"/(virtualMachines|disks|snapshots|operations)/[^/]+", r"/\1/{}", path)
    shape = re.sub(r"/subscriptions/[^/]+", "/subscriptions/{}", shape)
    shape = re.sub(r"/resourceGroups/[^/]+", "/resourceGroups/{}", shape, flags=re.I)
    shape = re.sub(r"/locations/[^/]+", "/locations/{}", shape)
    kinds[f"{rec.get('method')} {shape}"] += 1
total = sum(kinds.values())
print(f"management requests of one full backup of a 3-disk VM: {total}")
for k, n in kinds.most_common():
    print(f"  {n:4d}  {k}")
# The least the protocol allows: one token, the VM, one snapshot per disk, one read grant per
# disk; with Azure's long-running answers one status read per PUT/POST that does not end at once.
least = 1 + 1 + 3 + 3
print(f"least the protocol allows: {least} (token, GET VM, 3 snapshot PUTs, 3 beginGetAccess), plus one"
      f" operation-status read per long-running answer that has not ended at once")
PY
