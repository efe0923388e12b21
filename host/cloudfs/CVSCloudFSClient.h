// Client of the cloud file system through which some restores stage disks.
// The service does not exist on Linux: no client is ever created here, and
// the plugin's hooks report it as unavailable.
#pragma once

class CVSCloudFSClient;
