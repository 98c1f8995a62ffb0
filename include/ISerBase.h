// Host-facing channel interface of the kxSer plug-in.
//
// The order of the virtual functions below is a binary contract with hosts
// that were built long ago and call through the vtable: never reorder, insert
// or remove a slot, and never add a destructor here.
//
// A channel comes from ISerManager::GetSer and belongs to the manager: the
// host never deletes one, and closes each before FreeSerManager. Results are
// 1 for success and 0 for failure, or a byte count with -1 for failure; the
// reason for a failure is in the library's log on standard output, and for
// hosts that look for it, KxLastError's (kxSerExt.h). Threads that share a
// channel bracket their calls with Lock and Unlock.
#ifndef KXSER_ISERBASE_H
#define KXSER_ISERBASE_H

// As Read's time-out on a network channel: no wait, the receive blocks until
// data comes. A serial Read takes it as 0.
#ifndef INFINITE
#define INFINITE (-1)
#endif

// Hosts may attach observers; the library only stores and compares the
// pointers, so the interface needs no operations.
class ISerObserver {
};

class ISerBase {
public:
    // Takes the channel's lock for one thread's sequence of calls. Waiters
    // sleep in the kernel and are served first come, first served. Not
    // recursive: a second Lock by the thread that holds it never returns.
    // A waiter must not leave Lock by longjmp (from a signal handler) or by
    // asynchronous cancellation: its place in the queue would never be
    // served, and every later Lock would wait for ever. A handler that
    // returns is harmless.
    virtual void Lock() = 0;
    // Releases the lock; called by the thread that holds it. With no holder
    // (one Unlock too many) it does nothing. In the child of a fork, the
    // thread that forked while holding the lock releases it as usual; the
    // parent's waiters do not exist there and are not served.
    virtual void Unlock() = 0;
    // Whether some thread holds the lock: advisory, read without the lock.
    virtual bool IsBusy() = 0;
    // The type code, kind + index (0x120000 for ttyUSB0, 0x200000 + k for a
    // network peer); a definition string applied later can change it.
    virtual int GetType() = 0;
    // A readable description ("ttyUSB0:115200,n,8,1", "NET 502
    // 192.168.1.10:502"), valid until the next SetDef or Open with a string.
    virtual const char* GetNote() = 0;
    // Applies `def` (null or "": the settings so far) and opens the
    // transport: 1 opened, 0 not (the reason is logged). An open channel is
    // closed first. While open, a serial port is the channel's alone (flock,
    // TIOCEXCL). A failed serial Open leaves the port as it found it, and a
    // setting its driver refused is not kept by the channel. Network: a
    // remote port outside 1-65535 is refused. Blocks while a TCP peer
    // connects: at most 15 s.
    virtual int Open(const char* def) = 0;
    // Closes the transport (a serial port's lock with it); answers 1. With
    // serial flow control on (flow=rtscts or xonxoff), it first waits while
    // the output keeps leaving (at most the time it needs at the line's
    // speed, and a second) and discards only what a held line keeps back:
    // the driver's close would wait for it up to 30 s.
    virtual int Close() = 0;
    // Non-zero while open. On a closed network channel it first reconnects:
    // one Open(nullptr), which may block up to 15 s.
    virtual int IsOpened() = 0;
    // The open serial or GPIO descriptor, for poll (close-on-exec; the
    // channel closes it); -1 when closed, and always for a network channel.
    virtual int GetHandle() = 0;
    // Serial and network: takes `def` without opening; the next Open uses
    // it. Answers 1.
    virtual int SetDef(const char* def) = 0;
    // Network: a value above 0xffff relabels the channel with its low 16 bits
    // as the index; else the remote port for the next Open. Answers 1;
    // other channels answer 0.
    virtual int SetPort(int port) = 0;
    // Serial: the speed for the next Open (the note keeps the old one).
    // Answers 1; other channels answer 0.
    virtual int SetBaud(int baud) = 0;
    // Network: Read's default wait, byteTimeout ms per byte asked plus
    // baseTimeout ms (10 and 1000 at first). Serial reads ignore it. Answers 1.
    virtual int SetTimeout(int byteTimeout, int baseTimeout) = 0;
    // Discards what is pending (serial: input and output; network: the input
    // pending when it begins, closing a TCP channel whose peer has left).
    // 1 done, 0 closed or failed.
    virtual int Purge() = 0;
    // Receives up to `size` bytes: the count (0: nothing came), -1 when the
    // channel is closed or the arguments are bad.
    // Serial: on a silent line returns after 0.2 s plus 0.2 s per full
    // second of `timeout` (at least one); bytes that come keep it reading
    // until `buf` is full or the line is quiet for 0.2 s; -1000 or less ends
    // only at a full `buf`, a failure, a signal or a hang-up. With gap=N in
    // the definition, once a byte has counted the first N ms of silence end
    // it instead. A leading 0x00 is dropped. A hung-up line closes the
    // channel.
    // Network: one receive, after a wait of `timeout` ms (0: SetTimeout's
    // wait; INFINITE: no wait, the receive blocks). A wait that ends empty
    // answers -1 and leaves the channel open; a failed receive closes it, and
    // so does a TCP peer that left (answer 0).
    // GPIO: the levels of input lines 18 and 17 into buf[0] and buf[1];
    // answers 1, at once.
    virtual int Read(unsigned char* buf, int size, int timeout) = 0;
    // Sends `len` bytes: the count sent, -1 when closed or failed. Blocks
    // only while the system's buffer is full (a UDP send at most 2 s), or,
    // with serial flow control, without limit under XOFF or with CTS low. A
    // failed network send closes the channel. GPIO: buf[0] selects the
    // output line, buf[1] its level; answers 0, -1 when the driver refused.
    virtual int Write(const unsigned char* buf, int len) = 0;
    // Write of `text` without its terminator; -1 for null.
    virtual int Write(const char* text) = 0;
    // Attaches `observer` once: its position, -1 for null.
    virtual int InsertObserver(ISerObserver* observer) = 0;
    // Detaches `observer`: its former position, -1 when it was not attached.
    virtual int RemoveObserver(ISerObserver* observer) = 0;
};

#endif
