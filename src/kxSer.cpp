// The plug-in's entry points: hosts find these by their plain names.
#include "kxSer.h"

#include <new>

#include "SerManager.h"

extern "C" {

int DllType() { return 0; }

const char* DllNote() { return "kxSer.so for ISerBase, support COM, DIO, Net and USB"; }

int DllVersion() { return 1; }

ISerManager* GetSerManager() {
    // No exception may unwind into a C host.
    try {
        return CSerManager::GetInstance();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void FreeSerManager(ISerManager* /*manager: there is only one*/) {
    CSerManager::FreeInstance();
}

}  // extern "C"
