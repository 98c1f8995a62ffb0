// Host-facing channel manager interface of the kxSer plug-in.
#ifndef KXSER_ISERMANAGER_H
#define KXSER_ISERMANAGER_H

#include "ISerBase.h"

class ISerManager {
public:
    // Returns the channel carrying `type`, building it from `def` (or from
    // the index part of `type`) when none exists; null for USB.
    virtual ISerBase* GetSer(const char* def, int type) = 0;
};

#endif
