// Connection to the cloud account, with or without an HTTP proxy.
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

int CAzureInfo::Connect(const std::string& server, const std::string& user, const std::string& pwd) {
    static const char* tag = "virtual int CAzureInfo::Connect(const string&, const string&, const string&)";
    return GuardSlot(*this, tag, VMINFO_ERR_CONNECTION_LOST, 0, [&] {
        ResetCaches();
        subscriptionId = GetVSInstType() == 401 ? user : server;
        userName = user;
        password = pwd;
        if (!sdkInitialized) {
            static const char* text = "Failed to initialize Azure SDK. Please check if Mono framework is installed";
            EvDebug::Error(tag, "%s", text);
            SetLastVMErrorDetails(text);
            return 0;
        }
        EvDebug::Debug(tag, "Connecting to Azure subscription [%s][%s]", subscriptionId.c_str(), userName.c_str());
        if (!sdk->Connect(subscriptionId, userName, password)) {
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            return 0;
        }
        return 1;
    });
}

int CAzureInfo::Connect(const std::string& server, const std::string& user, const std::string& pwd,
                        const std::vector<SHostCredentials>& credentials) {
    static const char* tag =
        "virtual int CAzureInfo::Connect(const string&, const string&, const string&, const "
        "std::vector<SHostCredentials>&)";
    return GuardSlot(*this, tag, VMINFO_ERR_CONNECTION_LOST, 0, [&] {
        for (const SHostCredentials& credential : credentials) {
            if (credential.type != 3) continue;
            sdk->SetWebProxy(credential.host, credential.userName, credential.password);
            proxyHost = credential.host;
            proxyUser = credential.userName;
            proxyPassword = credential.password;
            EvDebug::Debug(tag, "Connecting using HTTP proxy [%s], user name [%s]", credential.host.c_str(),
                           credential.userName.c_str());
            break;
        }
        IVMInfo* self = this;
        return self->Connect(server, user, pwd);
    });
}

int CAzureInfo::Disconnect() { return 1; }

bool CAzureInfo::SetLastVMErrorFromSDKWrapperError(int sdkError) {
    switch (sdkError) {
        case 1: SetLastVMError(VMINFO_ERR_KEYVAULT_SECRET_DENIED); return true;
        case 2: SetLastVMError(VMINFO_ERR_KEYVAULT_KEY_DENIED); return true;
        case 4: SetLastVMError(VMINFO_ERR_KEYVAULT_NOT_FOUND); return true;
        case 5: SetLastVMError(VMINFO_ERR_KEYVAULT_FIREWALL); return true;
        default: return false;
    }
}
