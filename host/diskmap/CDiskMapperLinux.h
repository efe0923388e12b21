// Disk mapper that attaches cloud disks to the local VM for live browse.
#pragma once

class CDiskMapperLinux;
