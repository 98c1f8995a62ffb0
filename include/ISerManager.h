// Host-facing channel manager interface of the kxSer plug-in.
#ifndef KXSER_ISERMANAGER_H
#define KXSER_ISERMANAGER_H

#include "ISerBase.h"

class ISerManager {
public:
    // The channel that carries `type`, else one built from `def` (from the
    // index `type & 0xffff` when `def` is null) and kept by the manager; not
    // opened. Serial: `type` 0 (or any serial code) with a `def` such as
    // ttyUSB0:9600 finds or builds the port it names (0x120000). Network
    // (0x200000 + k): a channel built from `def` carries index k. GPIO:
    // 0x800000. Null for USB (0x400000) and when memory runs out. Does not
    // block; call the manager from one thread at a time.
    virtual ISerBase* GetSer(const char* def, int type) = 0;
};

#endif
