// All host records, contexts and codes, and the plugin's disk-map record.
#pragma once

#include "plugin/frame/records/AzureDiskInfo.h"
#include "plugin/frame/records/Contexts.h"
#include "plugin/frame/records/Enums.h"
#include "plugin/frame/records/VMInfoStructs.h"
