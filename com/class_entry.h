// ClassEntry: one row of the server's class table, everything the module
// needs to serve one creatable class without knowing its type.
#pragma once

#include "platform/platform.h"

// Makes an object and queries it for `iid`. For the class-object creator the
// first argument is the instance creator the class object will use; for the
// instance creator it is the outer unknown (null for a standalone object).
using CreatorFunction = HRESULT(WINAPI*)(void* argument, REFIID iid, void** result);

struct ClassEntry {
    const CLSID* clsid;
    // Applies or removes the class's registry entries; null until the class
    // has a registration script.
    HRESULT(WINAPI* updateRegistry)(BOOL doRegister);
    CreatorFunction createClassObject;
    CreatorFunction createInstance;
    // The class object, made on the first request and kept until the module
    // terminates. This reference does not lock the server.
    IUnknown* classObject;
    DWORD registrationCookie;  // always 0: class objects are never registered with COM here
    const wchar_t*(WINAPI* getDescription)();
    const void*(WINAPI* getCategories)();
    // Called with true when the module object is constructed, false when it is destroyed.
    void(WINAPI* objectMain)(bool starting);
};
