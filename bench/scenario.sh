# The simulated subscription of the bench scripts (sourced): one region, one
# group, a storage account and a virtual network for restores, and managed VMs
# with their OS disk only.

# bench_vm NAME SIZE_MIB CONTENT_JSON: one VM of the scenario.
bench_vm() {
  cat <<JSON
    {"name": "$1", "resourceGroup": "rg-bench", "region": "westeurope", "size": "Standard_D4s_v3",
     "osType": "Linux", "powerState": "running", "managed": true, "nics": [],
     "disks": [{"name": "$1-osdisk", "sizeMiB": $2, "sku": "Premium_LRS", "content": $3}]}
JSON
}

# bench_scenario VM_JSON...: the scenario document holding these VMs.
bench_scenario() {
  local IFS=',' vms
  vms="$*"
  cat <<JSON
{
  "subscriptions": [{"id": "6f1c2d3e-4a5b-4c6d-8e7f-90a1b2c3d4e5", "name": "Bench", "tenantId": "72f988bf-86f1-41af-91ab-2d7cd011db47",
                     "applicationId": "0c9d8e7f-6a5b-4c3d-9e2f-1a0b9c8d7e6f", "secret": "s3cr3t~value.of_the-app"}],
  "regions": [{"name": "westeurope", "displayName": "West Europe", "incrementalSnapshots": true,
               "vmSizes": [{"name": "Standard_D4s_v3", "cpus": 4, "memoryMB": 16384, "maxDataDisks": 8, "maxNics": 2,
                            "premiumIO": true, "gen2Supported": true, "zones": ""}]}],
  "resourceGroups": [{"name": "rg-bench", "region": "westeurope"}],
  "storageAccounts": [{"name": "benchstore01", "resourceGroup": "rg-bench", "region": "westeurope",
                       "sku": "Standard_LRS", "kind": "StorageV2", "containers": ["vhds"]}],
  "virtualNetworks": [{"name": "vnet-bench", "resourceGroup": "rg-bench", "region": "westeurope",
                       "addressPrefix": "10.0.0.0/16", "subnets": [{"name": "default", "addressPrefix": "10.0.0.0/24"}]}],
  "vms": [
$vms
  ]
}
JSON
}
