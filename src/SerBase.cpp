#include "SerBase.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "SysCall.h"

namespace {

// The lock is a ticket lock in the 32-bit word of m_lock: the next ticket
// to hand out in the upper half, the ticket being served in the lower.
// Hosts hold a channel across a blocking Read (0.4 s on a serial line, far
// longer with INFINITE) while another thread polls it and re-locks at
// once; Unlock hands the lock to the oldest waiter, so neither can starve
// the other, and waiters sleep in the kernel (futex) instead of burning
// their CPU: on one core a waiter of higher real-time priority would never
// let the holder run to Unlock.
const unsigned kTicket = 1u << 16;
const unsigned kServingMask = 0xffffu;
const int kSpinTries = 100;
const long long kNextSpinUs = 50;

static_assert(sizeof(pthread_spinlock_t) == sizeof(unsigned), "the lock word is 32 bits");

unsigned* Word(pthread_spinlock_t* lock) {
    return reinterpret_cast<unsigned*>(const_cast<int*>(lock));
}

bool Held(unsigned word) { return (word >> 16) != (word & kServingMask); }

// A spinning waiter tells the CPU so (a sibling hyper-thread, the holder
// perhaps, gets the cycles).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

// Waiters sleep under the bits of tickets, so Unlock's one wake reaches the
// waiter whose turn it is and the one behind it (and, with more than 32
// waiters, the few that share a bit), not the whole queue.
unsigned TicketBit(unsigned ticket) { return 1u << (ticket & 31u); }

// A brief hold is over within a short spin; then the waiter sleeps until
// its turn comes. The priority of a host's real-time thread is no reason to
// spin longer: the holder may need this CPU to reach its Unlock.
void WaitForTurn(unsigned* word, unsigned ticket) {
    for (;;) {
        unsigned now = __atomic_load_n(word, __ATOMIC_ACQUIRE);
        if ((now & kServingMask) == ticket) return;
        // The next in line keeps its CPU awake for a while: waking a thread
        // on an idle CPU costs far more than a short hold.
        const bool next = ((ticket - now) & kServingMask) == 1;
        const long long until = next ? kxsys::MonotonicUs() + kNextSpinUs : 0;
        for (int i = 1;; ++i) {
            CpuRelax();
            now = __atomic_load_n(word, __ATOMIC_ACQUIRE);
            if ((now & kServingMask) == ticket) return;
            if (i >= kSpinTries && (!next || (i % 64 == 0 && kxsys::MonotonicUs() >= until))) break;
        }
        // Further back, a waiter sleeps until the ticket before its own is
        // served: then it is next, and spins while that holder holds. The
        // bit follows the word the sleep is checked against, so a turn that
        // came during the spin is not slept through.
        const bool nextNow = ((ticket - now) & kServingMask) == 1;
        kxsys::FutexWaitBits(word, now, TicketBit(nextNow ? ticket : ticket - 1));
    }
}

// Every channel of the process, for the child of a fork: the parent's
// waiters do not exist there, and their tickets would never be served.
pthread_mutex_t gChannelsLock = PTHREAD_MUTEX_INITIALIZER;
std::vector<CSerBase*> gChannels;
pthread_once_t gForkOnce = PTHREAD_ONCE_INIT;

void BeforeFork() { pthread_mutex_lock(&gChannelsLock); }
void AfterForkInParent() { pthread_mutex_unlock(&gChannelsLock); }

// Only the ticket being served outlives the fork: the forking thread's own,
// when it holds the lock, so its Unlock frees the channel for the child.
void AfterForkInChild() {
    for (CSerBase* ch : gChannels) {
        unsigned* word = Word(&ch->m_lock);
        const unsigned now = __atomic_load_n(word, __ATOMIC_RELAXED);
        if (Held(now)) {
            const unsigned serving = now & kServingMask;
            __atomic_store_n(word, (((serving + 1) & kServingMask) << 16) | serving, __ATOMIC_RELAXED);
        }
    }
    pthread_mutex_unlock(&gChannelsLock);
}

// Removed again when the library is unloaded (glibc keeps the handlers of a
// shared object with it).
void WatchForks() { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); }

void Register(CSerBase* ch) {
    pthread_once(&gForkOnce, WatchForks);
    pthread_mutex_lock(&gChannelsLock);
    try {
        if (std::find(gChannels.begin(), gChannels.end(), ch) == gChannels.end()) gChannels.push_back(ch);
    } catch (...) {
        pthread_mutex_unlock(&gChannelsLock);
        throw;
    }
    pthread_mutex_unlock(&gChannelsLock);
}

void Unregister(CSerBase* ch) {
    pthread_mutex_lock(&gChannelsLock);
    gChannels.erase(std::remove(gChannels.begin(), gChannels.end(), ch), gChannels.end());
    pthread_mutex_unlock(&gChannelsLock);
}

}  // namespace

CSerBase::CSerBase(int index) {
    Init();
    m_nIndex = index;
}

CSerBase::CSerBase(const char* /*def: parsed by the derived constructors*/) {
    Init();
}

CSerBase::~CSerBase() {
    Free();
}

// The word's value is ours: pthread_spin_init stores 1 for unlocked on some
// targets.
void CSerBase::Init() {
    __atomic_store_n(Word(&m_lock), 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&m_bBusy, false, __ATOMIC_RELAXED);
    m_nKind = KIND_SERIAL;
    m_nIndex = 1;
    m_nByteTimeout = 6;
    m_nBaseTimeout = 100;
    m_strNote = "CSerBase";
    Register(this);
}

void CReason::Set(int code, const char* format, ...) noexcept {
    const int err = errno;
    m_nCode = code;
    va_list args;
    va_start(args, format);
    vsnprintf(m_szText, sizeof m_szText, format, args);
    va_end(args);
    errno = err;
}

void CReason::System(int err, const char* what) noexcept { Set(err, "%s: %s", what, strerror(err)); }

// The lock holds no resource of the system.
void CSerBase::Free() { Unregister(this); }

void CSerBase::Lock() {
    // Uncontended, taking a ticket is the one atomic operation.
    const unsigned before = __atomic_fetch_add(Word(&m_lock), kTicket, __ATOMIC_ACQUIRE);
    const unsigned ticket = before >> 16;
    if ((before & kServingMask) != ticket) WaitForTurn(Word(&m_lock), ticket);
    __atomic_store_n(&m_bBusy, true, __ATOMIC_RELAXED);
}

void CSerBase::Unlock() {
    unsigned* word = Word(&m_lock);
    unsigned now = __atomic_load_n(word, __ATOMIC_RELAXED);
    // One Unlock too many, with nobody holding the lock, must not serve a
    // ticket nobody holds: the next Lock would wait for an Unlock that
    // never comes.
    if (!Held(now)) return;
    __atomic_store_n(&m_bBusy, false, __ATOMIC_RELAXED);
    // Only the holder changes the lower half; the upper half may grow
    // meanwhile, and a carry must never reach it.
    unsigned next;
    do {
        next = (now & ~kServingMask) | ((now + 1) & kServingMask);
    } while (!__atomic_compare_exchange_n(word, &now, next, true, __ATOMIC_RELEASE, __ATOMIC_RELAXED));
    if (Held(next)) kxsys::FutexWakeBits(word, TicketBit(next & kServingMask));
}

bool CSerBase::IsBusy() { return __atomic_load_n(&m_bBusy, __ATOMIC_RELAXED); }

// Wrapping sum, as the 32-bit target computes it: a saturated index
// (INT_MAX) must not make the addition overflow.
int CSerBase::GetType() {
    return static_cast<int>(static_cast<unsigned>(m_nKind) + static_cast<unsigned>(m_nIndex));
}

const char* CSerBase::GetNote() { return m_strNote.c_str(); }

int CSerBase::Open(const char*) { return 0; }
int CSerBase::Close() { return 0; }
int CSerBase::IsOpened() { return 0; }
int CSerBase::GetHandle() { return -1; }

int CSerBase::SetDef(const char* def) {
    UpdParams(def);
    return 1;
}

int CSerBase::SetPort(int) { return 0; }
int CSerBase::SetBaud(int) { return 0; }

int CSerBase::SetTimeout(int byteTimeout, int baseTimeout) {
    m_nByteTimeout = byteTimeout;
    m_nBaseTimeout = baseTimeout;
    return 1;
}

int CSerBase::Purge() { return 0; }
int CSerBase::Read(unsigned char*, int, int) { return -1; }
int CSerBase::Write(const unsigned char*, int) { return -1; }

int CSerBase::Write(const char* text) {
    if (text == nullptr) return -1;
    return Write(reinterpret_cast<const unsigned char*>(text), static_cast<int>(strlen(text)));
}

int CSerBase::InsertObserver(ISerObserver* observer) {
    if (observer == nullptr) return -1;
    for (size_t i = 0; i < m_vecObserver.size(); ++i)
        if (m_vecObserver[i] == observer) return static_cast<int>(i);
    m_vecObserver.push_back(observer);
    return static_cast<int>(m_vecObserver.size() - 1);
}

int CSerBase::RemoveObserver(ISerObserver* observer) {
    for (size_t i = 0; i < m_vecObserver.size(); ++i) {
        if (m_vecObserver[i] == observer) {
            m_vecObserver.erase(m_vecObserver.begin() + static_cast<std::ptrdiff_t>(i));
            return static_cast<int>(i);
        }
    }
    return -1;
}

void CSerBase::UpdParams(const char*) {}
