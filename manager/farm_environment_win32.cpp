// In the server DLL the farm's settings are the administrator's registry
// values, and its outages go to the diagnostic log.
#include "manager/farm_environment.h"

#include "farm/farm_registry_settings.h"
#include "support/diagnostic_log.h"

namespace {
void ToDiagnosticLog(const char* line) { LogWriter.load()(line); }
}  // namespace

FarmEnvironment SystemFarmEnvironment() {
    return FarmEnvironment{&qc::farm::ReadFarmSettingsFromRegistry, &ToDiagnosticLog};
}
