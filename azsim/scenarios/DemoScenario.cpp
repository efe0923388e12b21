#include "azsim/scenarios/Scenario.h"

namespace azsim {

namespace {

// Disk content: a text line naming the disk and its MiB block repeated over the first
// MiBs of each disk, seeded random regions further in, an explicitly zeroed range on
// some disks, and everything else never written (sparse).
const char* const kDemoScenario = R"json(
{
  "description": "Demo subscription: three regions (one without a virtual network), three resource groups, managed and unmanaged VMs.",
  "subscriptions": [
    {
      "id": "6f1c2d3e-4a5b-4c6d-8e7f-90a1b2c3d4e5",
      "name": "Demo subscription",
      "tenantId": "72f988bf-86f1-41af-91ab-2d7cd011db47",
      "applicationId": "0c9d8e7f-6a5b-4c3d-9e2f-1a0b9c8d7e6f",
      "secret": "s3cr3t~value.of_the-app"
    }
  ],
  "regions": [
    {
      "name": "westeurope",
      "displayName": "West Europe",
      "incrementalSnapshots": true,
      "vmSizes": [
        {
          "name": "Standard_A2",
          "cpus": 2,
          "memoryMB": 3584,
          "maxDataDisks": 4,
          "maxNics": 2,
          "premiumIO": false,
          "gen2Supported": false,
          "zones": ""
        },
        {
          "name": "Standard_B2s",
          "cpus": 2,
          "memoryMB": 4096,
          "maxDataDisks": 4,
          "maxNics": 3,
          "premiumIO": true,
          "gen2Supported": true,
          "zones": "1,2,3"
        },
        {
          "name": "Standard_D2s_v3",
          "cpus": 2,
          "memoryMB": 8192,
          "maxDataDisks": 4,
          "maxNics": 2,
          "premiumIO": true,
          "gen2Supported": true,
          "zones": "1,2,3"
        },
        {
          "name": "Standard_D4s_v3",
          "cpus": 4,
          "memoryMB": 16384,
          "maxDataDisks": 8,
          "maxNics": 2,
          "premiumIO": true,
          "gen2Supported": true,
          "zones": "1,2,3"
        },
        {
          "name": "Standard_E4s_v3",
          "cpus": 4,
          "memoryMB": 32768,
          "maxDataDisks": 8,
          "maxNics": 2,
          "premiumIO": true,
          "gen2Supported": true,
          "zones": "1,2,3"
        }
      ]
    },
    {
      "name": "germanywestcentral",
      "displayName": "Germany West Central",
      "incrementalSnapshots": false,
      "vmSizes": [
        {
          "name": "Standard_A2",
          "cpus": 2,
          "memoryMB": 3584,
          "maxDataDisks": 4,
          "maxNics": 2,
          "premiumIO": false,
          "gen2Supported": false,
          "zones": ""
        },
        {
          "name": "Standard_B2s",
          "cpus": 2,
          "memoryMB": 4096,
          "maxDataDisks": 4,
          "maxNics": 3,
          "premiumIO": true,
          "gen2Supported": true,
          "zones": ""
        },
        {
          "name": "Standard_D2s_v3",
          "cpus": 2,
          "memoryMB": 8192,
          "maxDataDisks": 4,
          "maxNics": 2,
          "premiumIO": true,
          "gen2Supported": true,
          "zones": ""
        }
      ]
    },
    {
      "name": "northeurope",
      "displayName": "North Europe",
      "incrementalSnapshots": true,
      "vmSizes": [
        {
          "name": "Standard_D2s_v3",
          "cpus": 2,
          "memoryMB": 8192,
          "maxDataDisks": 4,
          "maxNics": 2,
          "premiumIO": true,
          "gen2Supported": true,
          "zones": "1,2,3"
        }
      ]
    }
  ],
  "resourceGroups": [
    {
      "name": "rg-prod",
      "region": "westeurope",
      "tags": {
        "env": "prod"
      }
    },
    {
      "name": "rg-test",
      "region": "westeurope",
      "tags": {
        "env": "test"
      }
    },
    {
      "name": "rg-legacy",
      "region": "germanywestcentral",
      "tags": {
        "env": "legacy"
      }
    }
  ],
  "storageAccounts": [
    {
      "name": "prodpremium01",
      "resourceGroup": "rg-prod",
      "region": "westeurope",
      "sku": "Premium_LRS",
      "kind": "StorageV2",
      "containers": [
        "vhds"
      ]
    },
    {
      "name": "prodstaging01",
      "resourceGroup": "rg-prod",
      "region": "westeurope",
      "sku": "Standard_LRS",
      "kind": "StorageV2",
      "containers": [
        "vhds"
      ]
    },
    {
      "name": "testzrs01",
      "resourceGroup": "rg-test",
      "region": "westeurope",
      "sku": "Standard_ZRS",
      "kind": "StorageV2",
      "containers": []
    },
    {
      "name": "legacystore01",
      "resourceGroup": "rg-legacy",
      "region": "germanywestcentral",
      "sku": "Standard_LRS",
      "kind": "Storage",
      "containers": [
        "vhds"
      ]
    }
  ],
  "virtualNetworks": [
    {
      "name": "vnet-prod",
      "resourceGroup": "rg-prod",
      "region": "westeurope",
      "addressPrefix": "10.0.0.0/16",
      "subnets": [
        {
          "name": "default",
          "addressPrefix": "10.0.0.0/24"
        },
        {
          "name": "backend",
          "addressPrefix": "10.0.1.0/24"
        }
      ]
    },
    {
      "name": "vnet-legacy",
      "resourceGroup": "rg-legacy",
      "region": "germanywestcentral",
      "addressPrefix": "10.1.0.0/16",
      "subnets": [
        {
          "name": "default",
          "addressPrefix": "10.1.0.0/24"
        }
      ]
    }
  ],
  "securityGroups": [
    {
      "name": "nsg-prod",
      "resourceGroup": "rg-prod",
      "region": "westeurope"
    }
  ],
  "images": [
    {
      "publisher": "Canonical",
      "offer": "0001-com-ubuntu-server-jammy",
      "sku": "22_04-lts-gen2",
      "version": "22.04.202312060",
      "location": "westeurope"
    },
    {
      "publisher": "MicrosoftWindowsServer",
      "offer": "WindowsServer",
      "sku": "2022-datacenter-azure-edition",
      "version": "20348.2113.231109",
      "location": "westeurope"
    },
    {
      "publisher": "Canonical",
      "offer": "0001-com-ubuntu-server-jammy",
      "sku": "22_04-lts",
      "version": "22.04.202312060",
      "location": "germanywestcentral"
    }
  ],
  "templates": [
    {
      "name": "tmpl-web-linux",
      "guid": "5a0e6c1d-2b3f-4d5e-8f60-718293a4b5c6",
      "resourceGroup": "rg-prod",
      "region": "westeurope",
      "size": "Standard_B2s",
      "osType": "Linux",
      "powerState": "deallocated",
      "managed": true
    }
  ],
  "vms": [
    {
      "name": "web-linux01",
      "guid": "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071",
      "resourceGroup": "rg-prod",
      "region": "westeurope",
      "size": "Standard_D2s_v3",
      "firmware": "",
      "osType": "Linux",
      "powerState": "running",
      "zones": "1",
      "tags": {
        "app": "web",
        "env": "prod"
      },
      "nics": [
        {
          "name": "web-linux01-nic0",
          "virtualNetwork": "vnet-prod",
          "subnet": "default"
        }
      ],
      "securityGroups": [
        "nsg-prod"
      ],
      "managed": true,
      "disks": [
        {
          "name": "web-linux01-osdisk",
          "sizeMiB": 512,
          "sku": "Premium_LRS",
          "content": [
            {
              "offset": 0,
              "length": 16777216,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            },
            {
              "offset": 104857600,
              "length": 4194304,
              "fill": "random",
              "seed": 1001
            },
            {
              "offset": 209715200,
              "length": 1048576,
              "fill": "zeros"
            },
            {
              "offset": 532676608,
              "length": 4194304,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            }
          ]
        },
        {
          "name": "web-linux01-data0",
          "sizeMiB": 256,
          "sku": "Premium_LRS",
          "content": [
            {
              "offset": 0,
              "length": 8388608,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            },
            {
              "offset": 67108864,
              "length": 4194304,
              "fill": "random",
              "seed": 1002
            }
          ]
        },
        {
          "name": "web-linux01-data1",
          "sizeMiB": 256,
          "sku": "StandardSSD_LRS",
          "content": [
            {
              "offset": 0,
              "length": 4194304,
              "fill": "random",
              "seed": 1003
            },
            {
              "offset": 134217728,
              "length": 4194304,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            }
          ]
        }
      ]
    },
    {
      "name": "app-win01",
      "guid": "8c2d4e6f-1a3b-4c5d-9e7f-a0b1c2d3e4f5",
      "resourceGroup": "rg-prod",
      "region": "westeurope",
      "size": "Standard_D4s_v3",
      "firmware": "efi",
      "osType": "Windows",
      "powerState": "running",
      "zones": "",
      "tags": {
        "app": "erp",
        "env": "prod"
      },
      "nics": [
        {
          "name": "app-win01-nic0",
          "virtualNetwork": "vnet-prod",
          "subnet": "backend"
        }
      ],
      "securityGroups": [
        "nsg-prod"
      ],
      "managed": true,
      "disks": [
        {
          "name": "app-win01-osdisk",
          "sizeMiB": 512,
          "sku": "Premium_LRS",
          "content": [
            {
              "offset": 0,
              "length": 16777216,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            },
            {
              "offset": 314572800,
              "length": 4194304,
              "fill": "random",
              "seed": 2001
            }
          ]
        },
        {
          "name": "app-win01-data0",
          "sizeMiB": 256,
          "sku": "Premium_LRS",
          "content": [
            {
              "offset": 0,
              "length": 4194304,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            },
            {
              "offset": 16777216,
              "length": 2097152,
              "fill": "zeros"
            },
            {
              "offset": 33554432,
              "length": 4194304,
              "fill": "random",
              "seed": 2002
            }
          ]
        }
      ]
    },
    {
      "name": "legacy-vm01",
      "guid": "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b",
      "resourceGroup": "rg-legacy",
      "region": "germanywestcentral",
      "size": "Standard_A2",
      "firmware": "",
      "osType": "Linux",
      "powerState": "deallocated",
      "zones": "",
      "tags": {
        "app": "legacy"
      },
      "nics": [
        {
          "name": "legacy-vm01-nic0",
          "virtualNetwork": "vnet-legacy",
          "subnet": "default"
        }
      ],
      "managed": false,
      "storageAccount": "legacystore01",
      "disks": [
        {
          "name": "legacy-vm01-osdisk",
          "sizeMiB": 384,
          "content": [
            {
              "offset": 0,
              "length": 16777216,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            },
            {
              "offset": 209715200,
              "length": 4194304,
              "fill": "random",
              "seed": 3001
            }
          ]
        },
        {
          "name": "legacy-vm01-data0",
          "sizeMiB": 256,
          "content": [
            {
              "offset": 0,
              "length": 4194304,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            },
            {
              "offset": 134217728,
              "length": 4194304,
              "fill": "random",
              "seed": 3002
            }
          ]
        }
      ]
    },
    {
      "name": "secure-db01",
      "guid": "9f8e7d6c-5b4a-4392-8180-7f6e5d4c3b2a",
      "resourceGroup": "rg-test",
      "region": "westeurope",
      "size": "Standard_E4s_v3",
      "firmware": "",
      "osType": "Windows",
      "powerState": "running",
      "zones": "2",
      "tags": {
        "app": "db",
        "env": "test"
      },
      "nics": [
        {
          "name": "secure-db01-nic0",
          "virtualNetwork": "vnet-prod",
          "subnet": "backend"
        }
      ],
      "managed": true,
      "encryption": {
        "encrypted": true,
        "keyVault": "kv-secure-test",
        "dekBackup": "{\"secretName\":\"secure-db01-bek\",\"vault\":\"kv-secure-test\",\"value\":\"QkVLLXNlY3VyZS1kYjAxLWRlbW8=\"}",
        "kekBackup": "{\"keyName\":\"secure-db01-kek\",\"vault\":\"kv-secure-test\",\"value\":\"S0VLLXNlY3VyZS1kYjAxLWRlbW8=\"}",
        "osDiskOnly": false
      },
      "disks": [
        {
          "name": "secure-db01-osdisk",
          "sizeMiB": 256,
          "sku": "Premium_LRS",
          "content": [
            {
              "offset": 0,
              "length": 8388608,
              "fill": "random",
              "seed": 4001
            },
            {
              "offset": 67108864,
              "length": 4194304,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            }
          ]
        },
        {
          "name": "secure-db01-data0",
          "sizeMiB": 256,
          "sku": "Premium_LRS",
          "content": [
            {
              "offset": 0,
              "length": 4194304,
              "fill": "random",
              "seed": 4002
            }
          ]
        }
      ]
    },
    {
      "name": "ultra-vm01",
      "guid": "4d5e6f70-8192-4a3b-9c4d-5e6f708192a3",
      "resourceGroup": "rg-test",
      "region": "westeurope",
      "size": "Standard_D4s_v3",
      "firmware": "efi",
      "osType": "Linux",
      "powerState": "stopped",
      "zones": "1",
      "tags": {
        "app": "analytics",
        "env": "test"
      },
      "nics": [
        {
          "name": "ultra-vm01-nic0",
          "virtualNetwork": "vnet-prod",
          "subnet": "default"
        }
      ],
      "managed": true,
      "disks": [
        {
          "name": "ultra-vm01-osdisk",
          "sizeMiB": 256,
          "sku": "Premium_LRS",
          "content": [
            {
              "offset": 0,
              "length": 8388608,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            }
          ]
        },
        {
          "name": "ultra-vm01-ultra0",
          "sizeMiB": 256,
          "sku": "UltraSSD_LRS",
          "zones": "1",
          "content": [
            {
              "offset": 0,
              "length": 4194304,
              "fill": "text",
              "text": "disk {disk} block {block}\n"
            },
            {
              "offset": 104857600,
              "length": 4194304,
              "fill": "random",
              "seed": 5001
            }
          ]
        }
      ]
    }
  ]
}
)json";

}  // namespace

nlohmann::json DemoScenario() { return nlohmann::json::parse(kDemoScenario); }

}  // namespace azsim
