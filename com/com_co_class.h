// CComCoClass: what a creatable class contributes to its class-table entry
// (com/class_entry.h): its class id, its creators and the default answers
// for description, component categories and the start/stop hook.
#pragma once

#include "platform/platform.h"
#include "com/class_entry.h"
#include "com/class_factory.h"
#include "com/com_object.h"

template <class T, const CLSID* clsid>
class CComCoClass {
public:
    // The instance creator: a CComAggObject<T> for an outer unknown, else a CComObject<T>.
    static HRESULT WINAPI CreateInstance(void* outer, REFIID iid, void** result) {
        return CInstanceCreator<T>::CreateInstance(outer, iid, result);
    }
    static HRESULT WINAPI CreateClassObject(void* instanceCreator, REFIID iid, void** result) {
        return CComClassFactoryCreator::CreateInstance(instanceCreator, iid, result);
    }

    static const wchar_t* WINAPI GetObjectDescription() { return nullptr; }
    static const void* WINAPI GetCategories() { return nullptr; }
    static void WINAPI ObjectMain(bool /*starting*/) {}
};
