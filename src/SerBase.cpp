#include "SerBase.h"

#include <cstring>

#include "SysCall.h"

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

static_assert(sizeof(pthread_spinlock_t) == sizeof(unsigned), "the lock word is 32 bits");

unsigned* Word(pthread_spinlock_t* lock) {
    return reinterpret_cast<unsigned*>(const_cast<int*>(lock));
}

// A brief hold is over within a short spin; then the waiter sleeps until
// an Unlock changes the word.
void WaitForTurn(unsigned* word, unsigned ticket) {
    for (int i = 0; i < kSpinTries; ++i)
        if ((__atomic_load_n(word, __ATOMIC_ACQUIRE) & kServingMask) == ticket) return;
    for (;;) {
        const unsigned now = __atomic_load_n(word, __ATOMIC_ACQUIRE);
        if ((now & kServingMask) == ticket) return;
        kxsys::FutexWait(word, now);
    }
}

}  // namespace

// The word's value is ours: pthread_spin_init stores 1 for unlocked on some
// targets.
void CSerBase::Init() {
    __atomic_store_n(Word(&m_lock), 0u, __ATOMIC_RELAXED);
    m_bBusy = false;
    m_nKind = KIND_SERIAL;
    m_nIndex = 1;
    m_nByteTimeout = 6;
    m_nBaseTimeout = 100;
    m_strNote = "CSerBase";
}

// The lock holds no resource of the system.
void CSerBase::Free() {}

void CSerBase::Lock() {
    // Uncontended, taking a ticket is the one atomic operation.
    const unsigned before = __atomic_fetch_add(Word(&m_lock), kTicket, __ATOMIC_ACQUIRE);
    const unsigned ticket = before >> 16;
    if ((before & kServingMask) != ticket) WaitForTurn(Word(&m_lock), ticket);
    m_bBusy = true;
}

void CSerBase::Unlock() {
    m_bBusy = false;
    unsigned* word = Word(&m_lock);
    // Only the holder changes the lower half; the upper half may grow
    // meanwhile, and a carry must never reach it.
    unsigned now = __atomic_load_n(word, __ATOMIC_RELAXED);
    unsigned next;
    do {
        next = (now & ~kServingMask) | ((now + 1) & kServingMask);
    } while (!__atomic_compare_exchange_n(word, &now, next, true, __ATOMIC_RELEASE, __ATOMIC_RELAXED));
    if ((next >> 16) != (next & kServingMask)) kxsys::FutexWakeAll(word);
}

bool CSerBase::IsBusy() { return m_bBusy; }

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
