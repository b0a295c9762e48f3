// Natively there is no machine-wide farm setting: every cache stays in
// process unless a test gives the manager settings of its own.
#include "manager/farm_environment.h"

namespace {
HRESULT NoFarm(qc::farm::FarmSettings* settings, std::vector<std::string>*) {
    *settings = qc::farm::FarmSettings();
    return S_OK;
}
void Unlogged(const char*) {}
}  // namespace

FarmEnvironment SystemFarmEnvironment() { return FarmEnvironment{&NoFarm, &Unlogged}; }
