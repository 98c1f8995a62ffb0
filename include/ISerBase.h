// Host-facing channel interface of the kxSer plug-in.
//
// The order of the virtual functions below is a binary contract with hosts
// that were built long ago and call through the vtable: never reorder, insert
// or remove a slot, and never add a destructor here.
#ifndef KXSER_ISERBASE_H
#define KXSER_ISERBASE_H

// As a time-out: no timed wait precedes a network receive.
#ifndef INFINITE
#define INFINITE (-1)
#endif

// Hosts may attach observers; the library only stores and compares the
// pointers, so the interface needs no operations.
class ISerObserver {
};

class ISerBase {
public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual bool IsBusy() = 0;
    virtual int GetType() = 0;
    virtual const char* GetNote() = 0;
    virtual int Open(const char* def) = 0;
    virtual int Close() = 0;
    virtual int IsOpened() = 0;
    virtual int GetHandle() = 0;
    virtual int SetDef(const char* def) = 0;
    virtual int SetPort(int port) = 0;
    virtual int SetBaud(int baud) = 0;
    virtual int SetTimeout(int byteTimeout, int baseTimeout) = 0;
    virtual int Purge() = 0;
    virtual int Read(unsigned char* buf, int size, int timeout) = 0;
    virtual int Write(const unsigned char* buf, int len) = 0;
    virtual int Write(const char* text) = 0;
    virtual int InsertObserver(ISerObserver* observer) = 0;
    virtual int RemoveObserver(ISerObserver* observer) = 0;
};

#endif
