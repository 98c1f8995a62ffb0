#include "SerManager.h"

#include <stdint.h>

#include <cstdio>
#include <memory>
#include <new>

#include "SerCom.h"
#include "SerDio.h"
#include "SerNet.h"
#include "LogText.h"

namespace {

// Log lines show the low 32 bits of an address, as on the 32-bit targets.
unsigned AddressOf(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

CSerManager* CSerManager::m_pInstance = nullptr;

CSerManager::CSerManager() {
    kxlog::Printf("SerManager new: %x\r\n", AddressOf(this));
}

CSerManager::~CSerManager() {
    // Last registered first, the reverse of the order they were built in.
    for (size_t i = m_vecSer.size(); i-- > 0;) {
        // Every channel held here is a CSerBase; ISerBase has no destructor.
        delete static_cast<CSerBase*>(m_vecSer[i]);
        m_vecSer[i] = nullptr;
    }
    m_vecSer.clear();
    kxlog::Printf("SerManager delete: %x\r\n", AddressOf(this));
}

CSerManager* CSerManager::GetInstance() {
    if (m_pInstance == nullptr) m_pInstance = new CSerManager();
    return m_pInstance;
}

void CSerManager::FreeInstance() {
    if (m_pInstance == nullptr) return;
    CSerManager* manager = m_pInstance;
    const unsigned address = AddressOf(manager);
    m_pInstance = nullptr;
    delete manager;
    kxlog::Printf("SerManager free: %x\r\n", address);
}

int CSerManager::FindType(int type) {
    for (size_t i = 0; i < m_vecSer.size(); ++i)
        if (m_vecSer[i] != nullptr && m_vecSer[i]->GetType() == type) return static_cast<int>(i);
    return -1;
}

int CSerManager::RegisterNew(ISerBase* ser) {
    if (ser == nullptr) return -1;
    const int existing = FindType(ser->GetType());
    if (existing >= 0) return existing;
    m_vecSer.push_back(ser);
    return static_cast<int>(m_vecSer.size() - 1);
}

namespace {

// Registers a freshly built channel; one that duplicates a registered type
// code (or that the list cannot take) is destroyed here.
int Adopt(CSerManager& manager, CSerBase* built) {
    std::unique_ptr<CSerBase> owned(built);
    const int pos = manager.RegisterNew(built);
    if (pos >= 0 && manager.m_vecSer[static_cast<size_t>(pos)] == built) owned.release();
    return pos;
}

}  // namespace

ISerBase* CSerManager::GetSer(const char* def, int type) {
    const int found = FindType(type);
    if (found >= 0) return m_vecSer[static_cast<size_t>(found)];

    // Hosts call through the vtable, often from C: an allocation failure is
    // answered with no channel rather than an exception they cannot catch.
    try {
        const int index = type & KIND_INDEX_MASK;
        int pos = -1;
        switch (type & KIND_FAMILY_MASK) {
            case KIND_USB:
                return nullptr;
            case KIND_GPIO:
                pos = Adopt(*this, new CSerDio(def));
                break;
            case KIND_NET:
                if (def != nullptr) {
                    // Relabelled with the requested index before it is
                    // registered (the remote port stays the one in the text),
                    // so the host gets the peer it named, not another channel
                    // that happens to carry the port number as its index.
                    std::unique_ptr<CSerNet> candidate(new CSerNet(def));
                    candidate->SetPort(type);
                    pos = Adopt(*this, candidate.release());
                } else {
                    pos = Adopt(*this, new CSerNet(index));
                }
                break;
            default: {
                const int same = FindType(CSerCom::GetDefType(def));
                if (same >= 0) return m_vecSer[static_cast<size_t>(same)];
                pos = Adopt(*this, def != nullptr ? new CSerCom(def) : new CSerCom(index));
                break;
            }
        }
        return pos < 0 ? nullptr : m_vecSer[static_cast<size_t>(pos)];
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
