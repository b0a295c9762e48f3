// The type library as a client reads it: library identity, the coclass, and
// the dual ICOMCache with its slots, DISPIDs, parameters and help strings.
// ITypeInfo::Invoke calls the vtable slot the library names, so a wrong
// offset here means every scripted call lands in the wrong method.
//
// The library is read from this program's own resources, which are the
// server's resource script compiled in: that checks the embedded copy.
#include "platform/platform.h"
#include "support/bstr.h"
#include "support/com_ref.h"
#include "support/variant.h"

#include "QuorCache.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace {

using qc::Bstr;
using qc::ComRef;

constexpr int kPointer = static_cast<int>(sizeof(void*));

ComRef<ITypeLib> LoadOwnTypeLibrary() {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ComRef<ITypeLib> library;
    EXPECT_EQ(::LoadTypeLibEx(path, REGKIND_NONE, library.Receive()), S_OK);
    return library;
}

// Releases a TYPEATTR/FUNCDESC with the type information it came from.
struct TypeAttr {
    explicit TypeAttr(ITypeInfo* info) : info(info) { EXPECT_EQ(info->GetTypeAttr(&attr), S_OK); }
    ~TypeAttr() { if (attr) info->ReleaseTypeAttr(attr); }
    TYPEATTR* operator->() const { return attr; }
    ITypeInfo* info;
    TYPEATTR* attr = nullptr;
};
struct FuncDesc {
    FuncDesc(ITypeInfo* info, UINT index) : info(info) { EXPECT_EQ(info->GetFuncDesc(index, &desc), S_OK); }
    ~FuncDesc() { if (desc) info->ReleaseFuncDesc(desc); }
    FUNCDESC* operator->() const { return desc; }
    ITypeInfo* info;
    FUNCDESC* desc = nullptr;
};

std::wstring NameOf(ITypeInfo* info, MEMBERID member) {
    Bstr name;
    EXPECT_EQ(info->GetDocumentation(member, name.Receive(), nullptr, nullptr, nullptr), S_OK);
    return name.Text();
}
std::wstring DocOf(ITypeInfo* info, MEMBERID member) {
    Bstr doc;
    EXPECT_EQ(info->GetDocumentation(member, nullptr, doc.Receive(), nullptr, nullptr), S_OK);
    return doc.Text();
}

struct Param {
    const wchar_t* name;
    VARTYPE type;  // VT_PTR stands for BSTR*
    USHORT flags;
};
struct Method {
    const wchar_t* name;
    std::vector<Param> params;
};

const USHORT kIn = PARAMFLAG_FIN;
const USHORT kOut = PARAMFLAG_FOUT;

// In DISPID order: method i has DISPID i + 1 and slot 7 + i.
const std::vector<Method> kMethods = {
    {L"Add", {{L"bstrUserName", VT_BSTR, kIn}, {L"bstrCacheData", VT_BSTR, kIn},
              {L"bstrCacheType", VT_BSTR, kIn}}},
    {L"Get", {{L"bstrKey", VT_BSTR, kIn}, {L"bstrValue", VT_PTR, kOut},
              {L"bstrCacheType", VT_BSTR, kIn}}},
    {L"Free", {{L"bstrKey", VT_BSTR, kIn}, {L"bstrCacheType", VT_BSTR, kIn}}},
    {L"DestroyCache", {{L"bstrCacheType", VT_BSTR, kIn}}},
    {L"CreateCache", {{L"bstrCacheType", VT_BSTR, kIn}, {L"nMaxEntries", VT_I4, kIn},
                      {L"nTimeout", VT_I4, kIn}}},
    {L"Terminate", {}},
    {L"Initialize", {}},
    {L"GetMessageFromExchange", {{L"bstrURL", VT_BSTR, kIn}, {L"bstrHeaders", VT_BSTR, kIn},
                                 {L"bstrUserName", VT_BSTR, kIn}, {L"bstrCacheType", VT_BSTR, kIn},
                                 {L"bstrMessage", VT_PTR, kOut}}},
    {L"SetHiddemMessageParameters", {{L"varParramArray", VT_VARIANT, kIn}}},
};

class TypeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = LoadOwnTypeLibrary();
        ASSERT_TRUE(library_);
        ASSERT_EQ(library_->GetTypeInfoOfGuid(IID_ICOMCache, dispatch_.Receive()), S_OK);
        HREFTYPE vtableRef = 0;
        // For a dual interface, index -1 leads from the dispatch view to the vtable view.
        ASSERT_EQ(dispatch_->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef), S_OK);
        ASSERT_EQ(dispatch_->GetRefTypeInfo(vtableRef, vtable_.Receive()), S_OK);
    }

    ComRef<ITypeLib> library_;
    ComRef<ITypeInfo> dispatch_;
    ComRef<ITypeInfo> vtable_;
};

TEST_F(TypeLibraryTest, LibraryIdentityVersionAndHelpString) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library_->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_QuorCacheLib));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    library_->ReleaseTLibAttr(attr);

    Bstr name, doc;
    ASSERT_EQ(library_->GetDocumentation(-1, name.Receive(), doc.Receive(), nullptr, nullptr), S_OK);
    EXPECT_STREQ(name.Text(), L"QuorCacheLib");
    EXPECT_STREQ(doc.Text(), L"QuorCache 1.0 Type Library");
}

TEST_F(TypeLibraryTest, CoclassIsCreatableWithICOMCacheAsDefault) {
    ComRef<ITypeInfo> coclass;
    ASSERT_EQ(library_->GetTypeInfoOfGuid(CLSID_COMCache, coclass.Receive()), S_OK);
    TypeAttr attr(coclass.Get());
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
    ASSERT_EQ(attr->cImplTypes, 1);
    EXPECT_EQ(NameOf(coclass.Get(), MEMBERID_NIL), L"COMCache");
    EXPECT_EQ(DocOf(coclass.Get(), MEMBERID_NIL), L"COMCache Class");

    INT implFlags = 0;
    ASSERT_EQ(coclass->GetImplTypeFlags(0, &implFlags), S_OK);
    EXPECT_TRUE(implFlags & IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ComRef<ITypeInfo> implemented;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, implemented.Receive()), S_OK);
    EXPECT_EQ(NameOf(implemented.Get(), MEMBERID_NIL), L"ICOMCache");
}

TEST_F(TypeLibraryTest, ICOMCacheIsADualAutomationInterfaceOverIDispatch) {
    TypeAttr dispatchAttr(dispatch_.Get());
    EXPECT_EQ(dispatchAttr->typekind, TKIND_DISPATCH);
    const WORD dualFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    EXPECT_EQ(dispatchAttr->wTypeFlags & dualFlags, dualFlags);
    EXPECT_EQ(NameOf(dispatch_.Get(), MEMBERID_NIL), L"ICOMCache");
    EXPECT_EQ(DocOf(dispatch_.Get(), MEMBERID_NIL), L"ICOMCache Interface");

    TypeAttr vtableAttr(vtable_.Get());
    EXPECT_EQ(vtableAttr->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(IsEqualGUID(vtableAttr->guid, IID_ICOMCache));
    // [oleautomation] is recorded on the vtable view.
    const WORD vtableFlags = dualFlags | TYPEFLAG_FOLEAUTOMATION;
    EXPECT_EQ(vtableAttr->wTypeFlags & vtableFlags, vtableFlags);
    EXPECT_EQ(vtableAttr->cFuncs, 9);
    // 3 IUnknown + 4 IDispatch + 9 own slots.
    EXPECT_EQ(vtableAttr->cbSizeVft, 16 * kPointer);

    HREFTYPE baseRef = 0;
    ComRef<ITypeInfo> base;
    ASSERT_EQ(vtable_->GetRefTypeOfImplType(0, &baseRef), S_OK);
    ASSERT_EQ(vtable_->GetRefTypeInfo(baseRef, base.Receive()), S_OK);
    EXPECT_EQ(NameOf(base.Get(), MEMBERID_NIL), L"IDispatch");
}

TEST_F(TypeLibraryTest, MethodsHaveTheirSlotsDispidsParametersAndHelpStrings) {
    for (UINT i = 0; i < kMethods.size(); ++i) {
        const Method& method = kMethods[i];
        SCOPED_TRACE(testing::Message() << "method " << i + 1);
        FuncDesc func(vtable_.Get(), i);
        ASSERT_NE(func.desc, nullptr);
        EXPECT_EQ(func->memid, static_cast<MEMBERID>(i + 1));
        EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + i) * kPointer));
        EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(func->invkind, INVOKE_FUNC);
        EXPECT_EQ(func->callconv, CC_STDCALL);
        EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
        EXPECT_EQ(NameOf(vtable_.Get(), func->memid), method.name);
        EXPECT_EQ(DocOf(vtable_.Get(), func->memid), std::wstring(L"method ") + method.name);

        ASSERT_EQ(func->cParams, static_cast<SHORT>(method.params.size()));
        BSTR names[8] = {};
        UINT nameCount = 0;
        ASSERT_EQ(vtable_->GetNames(func->memid, names, 8, &nameCount), S_OK);
        ASSERT_EQ(nameCount, method.params.size() + 1);
        EXPECT_STREQ(names[0], method.name);
        for (size_t p = 0; p < method.params.size(); ++p) {
            const ELEMDESC& elem = func->lprgelemdescParam[p];
            EXPECT_STREQ(names[p + 1], method.params[p].name);
            EXPECT_EQ(elem.tdesc.vt, method.params[p].type) << "param " << p;
            if (elem.tdesc.vt == VT_PTR) {
                EXPECT_EQ(elem.tdesc.lptdesc->vt, VT_BSTR);
            }
            // Plain directions: [out] is never [retval] here.
            EXPECT_EQ(elem.paramdesc.wParamFlags & (kIn | kOut | PARAMFLAG_FRETVAL),
                      method.params[p].flags) << "param " << p;
        }
        for (UINT n = 0; n < nameCount; ++n) ::SysFreeString(names[n]);
    }
}

TEST_F(TypeLibraryTest, DispatchViewResolvesEveryNameToItsDispid) {
    for (UINT i = 0; i < kMethods.size(); ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(kMethods[i].name);
        MEMBERID id = MEMBERID_NIL;
        EXPECT_EQ(dispatch_->GetIDsOfNames(&name, 1, &id), S_OK) << i;
        EXPECT_EQ(id, static_cast<MEMBERID>(i + 1));
    }
}

}  // namespace
