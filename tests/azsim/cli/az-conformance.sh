#!/usr/bin/env bash
# The cloud's own command-line client (Debian package azure-cli, command az) drives a simulated
# subscription served by `azsim serve`, registered as a cloud of the on-premises shape: Resource
# Manager at https://management.localhost:PORT, which names its federation service
# https://adfs.localhost:PORT/adfs. Each command's result is checked against the state folder
# (`azsim show`, `azsim hash`), and each command's outcome is reported:
#   PASS        the command succeeded and its result matches the state
#   FAIL        the command failed, or its result does not match the state
#   UNSERVED    the simulator answered that it does not know the resource type the command needs
#               (404 InvalidResourceType in its request log), or has no handler for its method
#   CLIENT      the installed client cannot run the command at all (a module of the cloud's SDK
#               that the command needs is missing from the distribution's package)
#
#   tests/azsim/cli/az-conformance.sh AZSIM_TOOL
#
# Installs azure-cli with apt-get when az is missing (as root); exits 77 (skipped) when it cannot.
# Exits 1 when any command fails, 0 otherwise (unserved and client-broken commands are listed).
set -uo pipefail
azsim=$(realpath "${1:?usage: $0 AZSIM_TOOL}")

if ! command -v az > /dev/null; then
  if [[ $(id -u) -ne 0 ]] || ! command -v apt-get > /dev/null; then
    echo "SKIPPED: az is not installed and apt-get cannot be run as root here" >&2
    exit 77
  fi
  log=$(mktemp)
  started=$(date +%s)
  # A fresh machine may have no package lists yet: read them once when the first try fails.
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y azure-cli > "$log" 2>&1 &&
     ! { apt-get update -qq >> "$log" 2>&1 &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y azure-cli >> "$log" 2>&1; }; then
    echo "SKIPPED: apt-get could not install azure-cli:" >&2
    tail -5 "$log" >&2
    rm -f "$log"
    exit 77
  fi
  rm -f "$log"
  echo "installed azure-cli in $(( $(date +%s) - started )) s"
fi

work=$(mktemp -d)
server=""
cleanup() { [[ -n "$server" ]] && kill "$server" 2> /dev/null; wait 2> /dev/null; rm -rf "$work"; }
trap cleanup EXIT

state="$work/state"
"$azsim" init --state "$state" > /dev/null || { echo "azsim init failed"; exit 1; }
"$azsim" serve --state "$state" > "$work/serve.out" 2>&1 &
server=$!
for _ in $(seq 1 100); do grep -q '^port ' "$work/serve.out" && break; sleep 0.1; done
port=$(awk '/^port / {print $2}' "$work/serve.out")
[[ -n "$port" ]] || { echo "the endpoint did not start"; cat "$work/serve.out"; exit 1; }

# A configuration of our own, the simulator's CA, no telemetry and no colour.
export HOME="$work/home" AZURE_CONFIG_DIR="$work/az" REQUESTS_CA_BUNDLE="$state/tls/ca.pem"
export AZURE_CORE_COLLECT_TELEMETRY=no AZURE_CORE_NO_COLOR=yes AZURE_CORE_ONLY_SHOW_ERRORS=yes
mkdir -p "$HOME"
# Names under "localhost" are the loopback address; where the system's resolver does not know that,
# the client's Python is taught it for this run alone.
if ! getent ahostsv4 management.localhost | grep -q '^127\.'; then
  mkdir -p "$work/py"
  cat > "$work/py/sitecustomize.py" << 'EOF'
import socket
_resolve = socket.getaddrinfo
def _loopback(host, *args, **kwargs):
    if isinstance(host, str) and host.lower().rstrip('.').endswith('.localhost'):
        host = '127.0.0.1'
    return _resolve(host, *args, **kwargs)
socket.getaddrinfo = _loopback
EOF
  export PYTHONPATH="$work/py${PYTHONPATH:+:$PYTHONPATH}"
fi

# One line per item of a Python expression over the state document `d` (a list is sorted).
from_state() {
  "$azsim" show --state "$state" | python3 -c '
import json, sys
d = json.load(sys.stdin)
sub = d["subscriptions"][0]["id"]
def rid(group, provider, kind, name):
    return "/subscriptions/%s/resourceGroups/%s/providers/%s/%s/%s" % (sub, group, provider, kind, name)
def named(kind, name):
    return next(r for r in d[kind] if r["name"] == name)
r = eval(sys.argv[1])
print("\n".join(sorted(map(str, r))) if isinstance(r, (list, set, tuple)) else r)' "$1"
}

# Runs az with the arguments given; its output is in $out, its errors in $work/err.
az_run() {
  echo "  \$ az $*"
  out=$(az "$@" 2> "$work/err")
}

# Passes when what was read ($1: the client's answer, or the state after a change) equals what is
# wanted ($2), as sorted sets of lines.
same() {
  if [[ "$(sort <<< "$1")" == "$(sort <<< "$2")" ]]; then return 0; fi
  printf '  got:\n%s\n  want:\n%s\n' "$1" "$2" > "$work/err"
  return 1
}

vm_id() { from_state "rid('$1', 'Microsoft.Compute', 'virtualMachines', '$2')"; }
power_of() { from_state "named('vms', '$1')['powerState']"; }

t_login() {
  local app secret tenant
  app=$(from_state "d['subscriptions'][0]['applicationId']")
  secret=$(from_state "d['subscriptions'][0]['secret']")
  tenant=$(from_state "d['subscriptions'][0]['tenantId']")
  az_run cloud register -n SimulatedCloud --endpoint-resource-manager "https://management.localhost:$port" \
    --profile 2020-09-01-hybrid || return 1
  az_run cloud set -n SimulatedCloud || return 1
  az_run login --service-principal -u "$app" -p "$secret" --tenant "$tenant" \
    --query "[].join(' ', [id, tenantId])" -o tsv || return 1
  same "$out" "$(from_state "[s['id'] + ' ' + s['tenantId'] for s in d['subscriptions']]")"
}

t_group_list() {
  az_run group list --query "[].join(' ', [name, location])" -o tsv || return 1
  same "$out" "$(from_state "[g['name'] + ' ' + g['region'] for g in d['resourceGroups']]")"
}

t_list_locations() {
  az_run account list-locations --query "[].join(' ', [name, displayName])" -o tsv || return 1
  same "$out" "$(from_state "[r['name'] + ' ' + r['displayName'] for r in d['regions']]")"
}

t_vm_list() {
  az_run vm list --query "[].id" -o tsv || return 1
  same "$out" "$(from_state "[rid(v['resourceGroup'], 'Microsoft.Compute', 'virtualMachines', v['name'])
                              for v in d['vms']]")"
}

t_vm_show() {
  az_run vm show -g rg-prod -n web-linux01 \
    --query "[id, hardwareProfile.vmSize, storageProfile.osDisk.managedDisk.id, vmId]" -o tsv || return 1
  same "$out" "$(from_state "[rid('rg-prod', 'Microsoft.Compute', 'virtualMachines', 'web-linux01'),
                              named('vms', 'web-linux01')['size'], named('vms', 'web-linux01')['guid'],
                              next(x['id'] for x in named('vms', 'web-linux01')['disks'] if x['lun'] < 0)]")"
}

# By id alone: the client reads the provider's registration for an api-version, then the VM with it.
t_resource_show() {
  az_run resource show --ids "$(vm_id rg-prod web-linux01)" --query "[id, properties.vmId]" -o tsv || return 1
  same "$out" "$(from_state "[rid('rg-prod', 'Microsoft.Compute', 'virtualMachines', 'web-linux01'),
                              named('vms', 'web-linux01')['guid']]")"
}

# A power action, then the state's power state and the one the client reads back.
power_action() {
  local action=$1 state_word=$2
  az_run vm "$action" -g rg-prod -n web-linux01 || return 1
  same "$(power_of web-linux01)" "$state_word" || return 1
  az_run vm get-instance-view -g rg-prod -n web-linux01 \
    --query "instanceView.statuses[?starts_with(code, 'PowerState/')].code" -o tsv || return 1
  same "$out" "PowerState/$state_word"
}
t_vm_stop() { power_action stop stopped; }
t_vm_deallocate() { power_action deallocate deallocated; }
t_vm_start() { power_action start running; }

t_vm_delete() {
  az_run vm delete -g rg-test -n ultra-vm01 --yes || return 1
  same "$(from_state "[v['name'] for v in d['vms'] if v['name'] == 'ultra-vm01']")" ""
}

t_disk_list() {
  az_run disk list --query "[].id" -o tsv || return 1
  same "$out" "$(from_state "[m['id'] for m in d['managedDisks']]")"
}

t_disk_show() {
  az_run disk show -g rg-prod -n web-linux01-data0 --query "[id, sku.name, location]" -o tsv || return 1
  same "$out" "$(from_state "[named('managedDisks', 'web-linux01-data0')[k] for k in ('id', 'sku', 'region')]")"
}

t_disk_create() {
  az_run disk create -g rg-test -n az-cli-disk --size-gb 4 --sku Standard_LRS --query "[id, diskSizeGb]" \
    -o tsv || return 1
  same "$out" "$(from_state "[named('managedDisks', 'az-cli-disk')['id'],
                              named('managedDisks', 'az-cli-disk')['sizeBytes'] >> 30]")"
}

# The SAS URL granted reads the disk's bytes through the endpoint; once revoked it reads nothing.
sas_reads() {
  curl -sf --connect-to "::127.0.0.1:$port" --cacert "$state/tls/ca.pem" -H "x-ms-version: 2020-10-02" \
    -r 0-511 -o "$work/head.bin" "$1"
}
t_disk_grant_access() {
  az_run disk grant-access -g rg-test -n az-cli-disk --duration-in-seconds 600 --access-level Read \
    --query accessSas -o tsv || return 1
  sas="$out"
  sas_reads "$sas" || { echo "  the SAS URL [$sas] does not read" > "$work/err"; return 1; }
  same "$(sha256sum < "$work/head.bin" | cut -d' ' -f1)" \
    "$("$azsim" hash --state "$state" --blob "$sas" --offset 0 --length 512)" || return 1
  same "$(from_state "named('managedDisks', 'az-cli-disk')['grant']['active']")" "True"
}

t_disk_revoke_access() {
  az_run disk revoke-access -g rg-test -n az-cli-disk || return 1
  same "$(from_state "named('managedDisks', 'az-cli-disk')['grant']['active']")" "False" || return 1
  if [[ -n "${sas:-}" ]] && sas_reads "$sas"; then echo "  the revoked SAS URL still reads" > "$work/err"; return 1; fi
}

t_disk_delete() {
  az_run disk delete -g rg-test -n az-cli-disk --yes || return 1
  same "$(from_state "[m['name'] for m in d['managedDisks'] if m['name'] == 'az-cli-disk']")" ""
}

t_snapshot_create() {
  az_run snapshot create -g rg-test -n az-cli-snap --incremental true \
    --source "$(from_state "named('managedDisks', 'web-linux01-data0')['id']")" \
    --query "[id, to_string(incremental)]" -o tsv || return 1
  same "$out" "$(from_state "[named('snapshots', 'az-cli-snap')['id'],
                              str(named('snapshots', 'az-cli-snap')['incremental']).lower()]")"
}

t_snapshot_list() {
  az_run snapshot list --query "[].id" -o tsv || return 1
  same "$out" "$(from_state "[s['id'] for s in d['snapshots']]")"
}

t_snapshot_delete() {
  az_run snapshot delete -g rg-test -n az-cli-snap || return 1
  same "$(from_state "[s['name'] for s in d['snapshots'] if s['name'] == 'az-cli-snap']")" ""
}

# A VM's network cards are in the VM's entry of the state, the others in "networkInterfaces".
nic_ids() {
  from_state "[rid(v['resourceGroup'], 'Microsoft.Network', 'networkInterfaces', n['name'])
               for v in d['vms'] for n in v['nics']] + [n['id'] for n in d['networkInterfaces']]"
}
t_nic_list() {
  az_run network nic list --query "[].id" -o tsv || return 1
  same "$out" "$(nic_ids)"
}

t_nic_show() {
  az_run network nic show -g rg-prod -n web-linux01-nic0 --query "[id, ipConfigurations[0].subnet.id]" \
    -o tsv || return 1
  same "$out" "$(from_state "[rid('rg-prod', 'Microsoft.Network', 'networkInterfaces', 'web-linux01-nic0'),
                              named('vms', 'web-linux01')['nics'][0]['subnetId']]")"
}

# The interface a deleted VM kept (ultra-vm01's, see vm_delete) can be deleted on its own.
t_nic_delete() {
  az_run network nic delete -g rg-test -n ultra-vm01-nic0 || return 1
  same "$(nic_ids | grep -c ultra-vm01-nic0)" "0"
}

t_vnet_list() {
  az_run network vnet list --query "[].id" -o tsv || return 1
  same "$out" "$(from_state "[v['id'] for v in d['virtualNetworks']]")"
}

t_vnet_show() {
  az_run network vnet show -g rg-prod -n vnet-prod \
    --query "[id, addressSpace.addressPrefixes[0], join(',', sort(subnets[].name))]" -o tsv || return 1
  same "$out" "$(from_state "[named('virtualNetworks', 'vnet-prod')['id'],
                              named('virtualNetworks', 'vnet-prod')['addressPrefix'],
                              ','.join(sorted(s['name'] for s in named('virtualNetworks', 'vnet-prod')['subnets']))]")"
}

# True when a request since record number $1 of the simulator's request log was refused as a resource
# type Resource Manager does not serve, or met no handler at all (an answer without a request id).
unserved_since() {
  "$azsim" requests --state "$state" | tail -n "+$(( $1 + 1 ))" | python3 -c '
import json, sys
records = [json.loads(line) for line in sys.stdin if line.strip()]
sys.exit(0 if any(r.get("error") == "InvalidResourceType" or ("id" not in r and r["status"] in (404, 405))
                  for r in records) else 1)'
}

passed=() failed=() unserved=() broken=()
for check in login list_locations group_list vm_list vm_show resource_show vm_stop vm_deallocate vm_start vm_delete \
             disk_list disk_show disk_create disk_grant_access disk_revoke_access disk_delete \
             snapshot_create snapshot_list snapshot_delete nic_list nic_show nic_delete vnet_list vnet_show; do
  echo "== $check"
  : > "$work/err"
  mark=$("$azsim" requests --state "$state" | wc -l)
  if "t_$check"; then
    passed+=("$check"); echo "PASS $check"
  elif unserved_since "$mark"; then
    unserved+=("$check"); echo "UNSERVED $check: $(grep -m1 '^ERROR' "$work/err")"
  elif grep -q "No module named 'azure\.mgmt\." "$work/err"; then
    broken+=("$check"); echo "CLIENT $check: $(grep -m1 'No module named' "$work/err")"
  else
    failed+=("$check"); echo "FAIL $check"; sed 's/^/  /' "$work/err"
  fi
  [[ "$check" == login && ${#passed[@]} -eq 0 ]] && break
done
echo "passed: ${passed[*]:-none}"
echo "unserved: ${unserved[*]:-none}"
echo "client cannot run: ${broken[*]:-none}"
echo "failed: ${failed[*]:-none}"
[[ ${#failed[@]} -eq 0 && ${#passed[@]} -gt 0 ]]
