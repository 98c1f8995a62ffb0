// Host-facing channel manager interface of the kxSer plug-in.
#ifndef KXSER_ISERMANAGER_H
#define KXSER_ISERMANAGER_H

#include "ISerBase.h"

class ISerManager {
public:
    // The channel that carries `type`, else one built from `def` (from the
    // index `type & 0xffff` when `def` is null) and kept by the manager; not
    // opened. Serial: `type` 0 (or any serial code) with a `def` such as
    // ttyUSB0:9600 answers the channel of the type code `def` gives (the
    // port name's group + its last digit, 0x120000), built from `def` when
    // there is none: ports of one type code share one channel, the one
    // built first, and the later `def` is ignored (ttyUSB0 and ttyACM0 are
    // both 0x120000, ttyS0 and pts/0 both 0x100000, ttyS1 and ttyS11 both
    // 0x100001). Network (0x200000 + k): a channel built from `def` carries
    // index k. GPIO: 0x800000. Null for USB (0x400000) and when memory runs
    // out. Does not block; call the manager from one thread at a time.
    virtual ISerBase* GetSer(const char* def, int type) = 0;
};

#endif
