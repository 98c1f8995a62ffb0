#include "SerBase.h"

#include <time.h>

#include <cstring>

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

void CSerBase::Init() {
    pthread_spin_init(&m_lock, PTHREAD_PROCESS_PRIVATE);
    m_bBusy = false;
    m_nKind = KIND_SERIAL;
    m_nIndex = 1;
    m_nByteTimeout = 6;
    m_nBaseTimeout = 100;
    m_strNote = "CSerBase";
}

void CSerBase::Free() {
    pthread_spin_destroy(&m_lock);
}

namespace {

// Hosts hold a channel across a blocking Read (0.4 s on a serial line, far
// longer with INFINITE), so a waiter that only spun would burn its CPU for
// the whole wait, and on one core a waiter of higher real-time priority
// would never let the holder run to Unlock. A short spin covers the common
// brief hold; then the waiter sleeps in steps that grow to about 1 ms.
const int kSpinTries = 100;
const long kFirstSleepNs = 50 * 1000;
const long kLongestSleepNs = 1000 * 1000;

void WaitForLock(pthread_spinlock_t* lock) {
    for (int i = 0; i < kSpinTries; ++i)
        if (pthread_spin_trylock(lock) == 0) return;
    long stepNs = kFirstSleepNs;
    for (;;) {
        struct timespec ts = {0, stepNs};
        nanosleep(&ts, nullptr);
        if (pthread_spin_trylock(lock) == 0) return;
        if (stepNs < kLongestSleepNs) stepNs = stepNs * 2 > kLongestSleepNs ? kLongestSleepNs : stepNs * 2;
    }
}

}  // namespace

void CSerBase::Lock() {
    // The uncontended pair stays one atomic operation each way.
    if (pthread_spin_trylock(&m_lock) != 0) WaitForLock(&m_lock);
    m_bBusy = true;
}

void CSerBase::Unlock() {
    m_bBusy = false;
    pthread_spin_unlock(&m_lock);
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
