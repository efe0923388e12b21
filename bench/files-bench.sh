#!/usr/bin/env bash
# Cost of getting one file out of a backup against exporting the whole disk.
#
#   bench/files-bench.sh [--build DIR] [--disk-gib N] [--stored-gib N]
#
# A VM's disk of N GiB (default 16) holds a GPT with one ext4 partition (256 MiB,
# with a 1 MiB file in it) and, after it, random data in 256 MiB pieces until
# --stored-gib (default 8) GiB are allocated. After one full backup, the same run
# measures `vsagent files get` of the 1 MiB file and `vsagent export` of the disk:
# bytes the process read (rchar of /proc/PID/io, which counts every read it made,
# page cache or not) and wall seconds, and the ratio of each (aim: under 1%).
# BENCH_STORE=DIR puts the store elsewhere.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
disk_gib=16
stored_gib=8
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --disk-gib) disk_gib=$2; shift 2 ;;
    --stored-gib) stored_gib=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
vsagent="$build/agent/vsagent"
azsim="$build/azsim/azsim"
for p in "$vsagent" "$azsim"; do [[ -x "$p" ]] || { echo "$p not built (targets vsagent azsim-tool)" >&2; exit 2; }; done
for t in mkfs.ext4 sfdisk debugfs; do command -v "$t" > /dev/null || { echo "$t missing (scripts/install-deps.sh)" >&2; exit 2; }; done

work=$(mktemp -d)
store="${BENCH_STORE:-$work}/files-bench-store"
trap 'rm -rf "$work" "$store"' EXIT
cloud="$work/cloud"
MiB=1048576

# The random data after the file system: 256 MiB pieces from 1 GiB on, spread over the rest of the disk.
pieces=$(( (stored_gib * 1024 - 256) / 256 ))
stride=$(( (disk_gib * 1024 - 1024) / pieces ))
(( stride >= 256 )) || { echo "--stored-gib $stored_gib does not fit a disk of $disk_gib GiB" >&2; exit 2; }
content="["
for i in $(seq 0 $((pieces - 1))); do
  [[ $i -gt 0 ]] && content+=","
  content+="{\"offset\": $(( (1024 + i * stride) * MiB )), \"length\": $((256 * MiB)), \"fill\": \"random\", \"seed\": $((i + 1))}"
done
content+="]"
source "$here/scenario.sh"
bench_scenario "$(bench_vm bench-files $((disk_gib * 1024)) "$content")" > "$work/scenario.json"
echo "seeding a $disk_gib GiB disk with $((pieces * 256)) MiB of random data ..."
"$azsim" init --state "$cloud" --scenario "$work/scenario.json" > /dev/null

echo "writing a GPT and a 256 MiB ext4 file system holding a 1 MiB file ..."
head -c $MiB /dev/urandom > "$work/file.bin"
mkdir "$work/src" && cp "$work/file.bin" "$work/src/file.bin"
mkfs.ext4 -q -F -d "$work/src" "$work/fs.img" 256M
truncate -s $((258 * MiB)) "$work/disk.img"
printf 'label: gpt\nstart=2048,size=524288\n' | sfdisk -q "$work/disk.img"
dd if="$work/fs.img" of="$work/disk.img" bs=1M seek=1 conv=notrunc,sparse 2> /dev/null
"$azsim" write --state "$cloud" --vm bench-files --file "$work/disk.img" > /dev/null

echo "backing up ..."
"$vsagent" backup --vm bench-files --store "$store" --cloud "$cloud" --log "$work/job.log" --json > "$work/backup.json"
job=$(python3 -c "import json; print(json.load(open('$work/backup.json'))['jobId'])")

# measure NAME COMMAND...: runs vsagent in a shell of its own and prints "seconds rchar": the shell
# gathers the I/O counts of the child it reaped, and reads its own counts before anything else runs.
measure() {
  local name=$1
  shift
  sync
  bash -c 'start=$(date +%s.%N); "$@" > /dev/null; end=$(date +%s.%N)
           awk -v s="$start" -v e="$end" "BEGIN { printf \"%.3f \", e - s }"; awk "/^rchar/ { print \$2 }" /proc/$$/io' \
    "$name" "$vsagent" "$@" --store "$store" --cloud "$cloud" --log "$work/job.log"
}
read -r get_s get_b < <(measure get files --job "$job" --disk 0 get /file.bin --out "$work/out")
cmp "$work/file.bin" "$work/out/file.bin" || { echo "the file got back differs" >&2; exit 1; }
read -r exp_s exp_b < <(measure export export --job "$job" --disk 0 --out "$work/disk.export")

echo
printf '%-34s %14s %10s\n' "" "bytes read" "seconds"
printf '%-34s %14s %10s\n' "files get of one 1 MiB file" "$get_b" "$get_s"
printf '%-34s %14s %10s\n' "export of the $disk_gib GiB disk" "$exp_b" "$exp_s"
awk -v gb="$get_b" -v eb="$exp_b" -v gs="$get_s" -v es="$exp_s" \
  'BEGIN { printf "%-34s %13.3f%% %9.3f%%\n", "get / export", 100 * gb / eb, 100 * gs / es }'
