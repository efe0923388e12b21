#!/usr/bin/env bash
# Read rate of a backed-up disk served by `vsagent serve`, against reading the
# store's image files directly, measured in the same run.
#
#   bench/serve-bench.sh [--build DIR] [--size-mib N]
#
# A VM with one disk of N MiB (default 1024) filled with random bytes is backed up.
# Baseline: `cat` of the job's image file to /dev/null, timed after one untimed
# pass so that it reads from the page cache. Then `nbdcopy` of the served disk to
# null:, twice: the first pass hashes every 4 MiB window against the job's digest
# before serving it, the second serves windows already proven. Prints MB/s of each
# and their ratios to the baseline.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
size_mib=1024
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
vsagent="$build/agent/vsagent"
azsim="$build/azsim/azsim"
for p in "$vsagent" "$azsim"; do
  [[ -x "$p" ]] || { echo "$p not built (targets vsagent azsim-tool)" >&2; exit 2; }
done
command -v nbdcopy > /dev/null || { echo "nbdcopy missing (Debian libnbd-bin; scripts/install-deps.sh)" >&2; exit 2; }

work=$(mktemp -d)
server=""
cleanup() {
  [[ -n "$server" ]] && kill -INT "$server" 2> /dev/null && wait "$server" || true
  rm -rf "$work"
}
trap cleanup EXIT
cloud="$work/cloud"
store="$work/store"

source "$here/scenario.sh"
bytes=$((size_mib * 1048576))
bench_scenario "$(bench_vm bench-serve "$size_mib" "[{\"offset\": 0, \"length\": $bytes, \"fill\": \"random\", \"seed\": 7}]")" \
  > "$work/scenario.json"
"$azsim" init --state "$cloud" --scenario "$work/scenario.json" > /dev/null
echo "backing up a $size_mib MiB disk of random bytes ..."
job=$("$vsagent" backup --vm bench-serve --store "$store" --cloud "$cloud" --json | sed -n 's/^  "jobId": \([0-9]*\),*$/\1/p')
image="$store/bench-serve/job-$job/disk0.img"
[[ -f "$image" ]] || { echo "no image at $image" >&2; exit 1; }

socket="$work/nbd.sock"
"$vsagent" serve --store "$store" --job "$job" --disk 0 --socket "$socket" --cloud "$cloud" > "$work/serve.out" &
server=$!
for _ in $(seq 1 300); do [[ -S "$socket" ]] && break; sleep 0.1; done
[[ -S "$socket" ]] || { echo "vsagent serve did not start: $(cat "$work/serve.out")" >&2; exit 1; }

# seconds COMMAND...: wall time of one run.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" > /dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
cat "$image" > /dev/null
direct=$(seconds cat "$image")
first=$(seconds nbdcopy "nbd+unix:///?socket=$socket" null:)
again=$(seconds nbdcopy "nbd+unix:///?socket=$socket" null:)
rate() { echo "scale=1; $bytes / 1000000 / $1" | bc -l; }
echo "store image, cat to /dev/null:            $(rate "$direct") MB/s"
echo "vsagent serve, nbdcopy, windows hashed:   $(rate "$first") MB/s (ratio $(echo "scale=3; $direct / $first" | bc -l))"
echo "vsagent serve, nbdcopy, windows proven:   $(rate "$again") MB/s (ratio $(echo "scale=3; $direct / $again" | bc -l))"
