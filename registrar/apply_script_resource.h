// ApplyScriptResource: how a server module registers or unregisters itself
// with a registry script it carries (Windows only).
#pragma once

#include "platform/platform.h"
#include "registrar/registrar_base.h"

namespace qc::registrar {

// One substitution a caller adds for a script; a list of them ends with a
// null name.
struct ScriptSubstitution {
    const WCHAR* name;
    const WCHAR* text;
};

// The substitutions every script of a module may use (the server module adds
// "APPID" here).
class ICommonSubstitutions {
public:
    virtual HRESULT AddCommonSubstitutions(IRegistrarBase* registrar) = 0;

protected:
    ~ICommonSubstitutions() = default;
};

// Applies the "REGISTRY" resource `resourceId` of `module` (the module's own
// image; null stands for the process's executable) in register or unregister
// mode. Scripts may use, besides `substitutions` (may be null) and the common
// ones: "Module", the module's path with single quotes doubled, enclosed in
// double quotes when the module is the executable; "Module_Raw", the path with
// single quotes doubled.
HRESULT ApplyScriptResource(HINSTANCE module, ICommonSubstitutions& common, const ScriptSubstitution* substitutions,
                            UINT resourceId, bool doRegister);

}  // namespace qc::registrar
