// The five plain-C entry points a host resolves with dlsym after loading
// kxSer.so, and the pointer types to hold them. dlopen("kxSer.so") finds the
// installed plug-in in the system's library folder; a build's own copy needs
// its path ("./build/native/kxSer.so") or its folder in LD_LIBRARY_PATH.
// Call the entry points and the manager from one thread at a time.
#ifndef KXSER_KXSER_H
#define KXSER_KXSER_H

#include "ISerManager.h"

extern "C" {
// Always 0, the plug-in type.
int DllType();
// "kxSer.so for ISerBase, support COM, DIO, Net and USB"; never freed.
const char* DllNote();
// Always 1, the interface version.
int DllVersion();
// The single manager, built on the first call; the same pointer until
// FreeSerManager. Null when memory runs out.
ISerManager* GetSerManager();
// Destroys the manager and every channel it holds; their pointers are then
// invalid. Close the channels first: a serial or GPIO descriptor stays open
// otherwise. The argument is not used.
void FreeSerManager(ISerManager* manager);
}

typedef int (*KxDllTypeFn)();
typedef const char* (*KxDllNoteFn)();
typedef int (*KxDllVersionFn)();
typedef ISerManager* (*KxGetSerManagerFn)();
typedef void (*KxFreeSerManagerFn)(ISerManager*);

#endif
