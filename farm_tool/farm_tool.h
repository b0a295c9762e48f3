// quorcache-farm, the operator's tool for the farm's settings on one web
// server: the commands, apart from the console and the registry, so that
// they run (and are tested) natively against a real server. The Windows
// program (farm_tool_main_win32.cpp) gives them its command line, its
// streams and the machine's settings.
//
//   set-password [--sentinel]   one line of standard input, protected for
//                               this machine, as REG_BINARY Password (or
//                               SentinelPassword)
//   check                       connects as the DLL does and tells what it found
//   show                        the settings as the DLL reads them
//   set-limits CACHE MAXENTRIES LIFETIMEMINUTES
//                               a farm cache's limit and lifetime, site-wide
//   --help
//
// Exit codes: 0 done, 1 the command failed (it says why), 2 a wrong command
// line (the usage follows).
#pragma once

#include "farm/farm_registry_values.h"
#include "farm/farm_settings.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace qc::farm {

// What the commands need of the machine.
class FarmToolSystem {
public:
    // The farm's settings as the DLL reads them (farm_registry_settings.h).
    virtual HRESULT ReadSettings(FarmSettings* settings, std::vector<std::string>* notes) = 0;
    // One line of standard input without its line end, not echoed when it
    // comes from a console.
    virtual HRESULT ReadSecretLine(std::string* line) = 0;
    // Writes `bytes` as the REG_BINARY value `which` of the settings key.
    virtual HRESULT WriteBinaryValue(FarmValue which, const std::vector<unsigned char>& bytes) = 0;

protected:
    ~FarmToolSystem() = default;
};

inline constexpr int kToolDone = 0;
inline constexpr int kToolFailed = 1;
inline constexpr int kToolUsage = 2;

// Runs the command line `arguments` (the program's name left out; UTF-8).
int RunFarmTool(const std::vector<std::string>& arguments, FarmToolSystem& system, std::ostream& out,
                std::ostream& err);

}  // namespace qc::farm
