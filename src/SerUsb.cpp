#include "SerUsb.h"

// No transport yet: every operation keeps the base channel's answer, and the
// kind stays the base default.
CSerUsb::CSerUsb() : CSerBase(1) {}

CSerUsb::~CSerUsb() {}
