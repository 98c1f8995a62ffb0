// The single channel manager handed to the host.
#ifndef KXSER_SERMANAGER_H
#define KXSER_SERMANAGER_H

#include <vector>

#include "ISerManager.h"

class CSerManager final : public ISerManager {
public:
    static CSerManager* GetInstance();
    static void FreeInstance();

    ISerBase* GetSer(const char* def, int type) override;

    int FindType(int type);
    int RegisterNew(ISerBase* ser);

    std::vector<ISerBase*> m_vecSer;
    static CSerManager* m_pInstance;

private:
    CSerManager();
    ~CSerManager();
    CSerManager(const CSerManager&) = delete;
    CSerManager& operator=(const CSerManager&) = delete;
};

#endif
