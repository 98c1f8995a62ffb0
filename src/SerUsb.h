// USB placeholder channel: reserves the class, provides no transport.
#ifndef KXSER_SERUSB_H
#define KXSER_SERUSB_H

#include "SerBase.h"

class CSerUsb : public CSerBase {
public:
    CSerUsb();
    ~CSerUsb() override;
};

#endif
