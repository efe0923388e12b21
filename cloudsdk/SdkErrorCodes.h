// Error codes that CAzureSDKCppBridge::GetLastErrorCode() reports.
// The plugin maps 1, 2, 4 and 5 to host error codes and treats 3 from RestoreVM as a
// restore that succeeded with a recorded failure; the others are reported as text.
#pragma once

namespace AzureSDKCppBridge {

enum SdkErrorCode {
    SDK_ERR_GENERAL = 0,                 // any failure without a more specific code
    SDK_ERR_KEYVAULT_SECRET_DENIED = 1,  // no permission to read secrets of the VM's key vault
    SDK_ERR_KEYVAULT_KEY_DENIED = 2,     // no permission to read or wrap keys of the key vault
    SDK_ERR_VM_CREATED_LATER_STEP_FAILED = 3,  // RestoreVM only: the VM was created, a later step failed
    SDK_ERR_KEYVAULT_NOT_FOUND = 4,      // the key vault named by the VM's disks does not exist
    SDK_ERR_KEYVAULT_FIREWALL = 5,       // the key vault refuses connections from this network
    SDK_ERR_OS_DISK_ONLY_ENCRYPTED = 6,  // set after a successful configuration save: only the OS disk is encrypted
    SDK_ERR_AUTHENTICATION = 7,          // sign-in refused
    SDK_ERR_NOT_FOUND = 8,               // the named resource does not exist
    SDK_ERR_NOT_CONNECTED = 9,           // no session with the subscription
};

}  // namespace AzureSDKCppBridge
