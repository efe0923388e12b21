// Reference point the host keeps between two backups of a VM: the change id
// and the snapshot id of the previous backup, as string fields of a message
// of family 26, type 80 (see host/message/CNMessageBase.h for the encoding).
//
//   change id:   setstring/getstring(1, 1, 0x1aeef26a, 0xe4072f)
//   snapshot id: setstring/getstring(3, 9, 0x1aeef26a, 0x2e1faf)
#pragma once

#include "host/message/CNMessageBase.h"

namespace VirtualServer {

class VMReferencePointInfo : public CNMessageBase {
public:
    static constexpr uint32_t kFamily = 26;
    static constexpr uint32_t kType = 80;

    VMReferencePointInfo() : CNMessageBase(kFamily, kType) {}
};

}  // namespace VirtualServer
