// Where the manager learns the farm's settings, and where it tells of the
// farm's outages: the registry and the diagnostic log in the server DLL
// (farm_environment_win32.cpp), nothing natively (farm_environment_posix.cpp),
// and whatever a test gives.
#pragma once

#include "farm/farm_settings.h"

#include <string>
#include <vector>

struct FarmEnvironment {
    // S_OK with the settings (an empty host: no farm), or why they cannot be
    // used; either way with the lines the log should carry about them in
    // *notes (farm/farm_registry_values.h). Reads no network.
    HRESULT (*readSettings)(qc::farm::FarmSettings* settings, std::vector<std::string>* notes) = nullptr;
    // Writes one line to the diagnostic log.
    void (*log)(const char* line) = nullptr;
};

// This build's own environment.
FarmEnvironment SystemFarmEnvironment();
