// The registry that a registrar test program runs its scripts against.
//
// The scenarios in script_scenarios_test.cpp and server_scripts_test.cpp are
// compiled into two programs: one against the in-memory registry (both
// builds), one against the real registry under Wine, below a scratch key that
// stands in for HKEY_CLASSES_ROOT. Each program defines MakeRegistryBackend().
#pragma once

#include "registrar/registry_access.h"
#include "registrar/text_services.h"

#include <memory>
#include <string>
#include <vector>

namespace qc::registrar::testing {

struct StoredValue {
    DWORD type = 0;
    std::string data;  // the bytes as stored
};

class IRegistryBackend {
public:
    virtual ~IRegistryBackend() = default;

    virtual IRegistryAccess& Registry() = 0;
    virtual const ITextServices& Text() = 0;

    // Paths are below HKEY_CLASSES_ROOT, levels separated by "\".
    virtual bool KeyExists(const std::string& path) = 0;
    virtual bool ReadValue(const std::string& path, const std::string& valueName, StoredValue* value) = 0;
    virtual std::vector<std::string> SubKeyNames(const std::string& path) = 0;
    // Creates the key (and its parents) and sets a string value on it.
    virtual void PutString(const std::string& path, const std::string& valueName, const std::string& text) = 0;
    virtual void CreateKey(const std::string& path) = 0;
    // Reports anything the scripts left behind that a registry would keep
    // (open handles, for the in-memory registry) as a test failure.
    virtual void ExpectNoLeaks() = 0;
};

std::unique_ptr<IRegistryBackend> MakeRegistryBackend();

}  // namespace qc::registrar::testing
