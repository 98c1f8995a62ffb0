// The five plain-C entry points a host resolves with dlsym after loading
// kxSer.so, and the pointer types to hold them.
#ifndef KXSER_KXSER_H
#define KXSER_KXSER_H

#include "ISerManager.h"

extern "C" {
int DllType();
const char* DllNote();
int DllVersion();
ISerManager* GetSerManager();
void FreeSerManager(ISerManager* manager);
}

typedef int (*KxDllTypeFn)();
typedef const char* (*KxDllNoteFn)();
typedef int (*KxDllVersionFn)();
typedef ISerManager* (*KxGetSerManagerFn)();
typedef void (*KxFreeSerManagerFn)(ISerManager*);

#endif
