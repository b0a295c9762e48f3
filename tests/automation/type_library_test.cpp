// The type library as a client reads it: library identity, the coclass, the
// dual ICOMCache with its slots, DISPIDs, parameters and help strings, which
// never change, ICOMCache2 after it, and the ICacheStatistics snapshot.
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
    VARTYPE type;
    USHORT flags;
    VARTYPE pointee = VT_BSTR;  // what a VT_PTR points to
};
struct Method {
    const wchar_t* name;
    std::vector<Param> params;
    INVOKEKIND invoke = INVOKE_FUNC;
    const wchar_t* doc = nullptr;  // null: "method <name>"
};

const USHORT kIn = PARAMFLAG_FIN;
const USHORT kOut = PARAMFLAG_FOUT;
const USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

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

// ICOMCache2's own methods: DISPIDs 10-15 in slots 16-21.
const std::vector<Method> kMethods2 = {
    {L"Lookup", {{L"bstrUserName", VT_BSTR, kIn}, {L"bstrCacheType", VT_BSTR, kIn},
                 {L"pvarText", VT_PTR, kRetval, VT_VARIANT}}},
    {L"Exists", {{L"bstrUserName", VT_BSTR, kIn}, {L"bstrCacheType", VT_BSTR, kIn},
                 {L"pbExists", VT_PTR, kRetval, VT_BOOL}}},
    {L"Count", {{L"bstrCacheType", VT_BSTR, kIn}, {L"plEntries", VT_PTR, kRetval, VT_I4}}},
    {L"Statistics", {{L"bstrCacheType", VT_BSTR, kIn}, {L"ppStatistics", VT_PTR, kRetval, VT_DISPATCH}}},
    {L"CacheNames", {{L"pvarNames", VT_PTR, kRetval, VT_VARIANT}}},
    {L"Clear", {{L"bstrCacheType", VT_BSTR, kIn}}},
};

// ICacheStatistics: read-only properties, DISPIDs 1-10 in slots 7-16.
Method Property(const wchar_t* name, const wchar_t* parameter, VARTYPE type, const wchar_t* doc) {
    return {name, {{parameter, VT_PTR, kRetval, type}}, INVOKE_PROPERTYGET, doc};
}
const std::vector<Method> kProperties = {
    Property(L"Name", L"pbstrName", VT_BSTR, L"The cache's name as it was first created"),
    Property(L"MaxEntries", L"plMaxEntries", VT_I4, L"The entry limit the flush trims to"),
    Property(L"LifetimeMinutes", L"plLifetimeMinutes", VT_I4, L"The entry lifetime in minutes (0: 30 days)"),
    Property(L"Entries", L"plEntries", VT_I4, L"Entries stored"),
    Property(L"PeakEntries", L"plPeakEntries", VT_I4, L"The most entries stored at once"),
    Property(L"Size", L"plSize", VT_I4, L"40 for each entry stored, whatever the length of its text"),
    Property(L"PeakSize", L"plPeakSize", VT_I4, L"The largest Size so far"),
    Property(L"Hits", L"plHits", VT_I4, L"Lookups that found their entry"),
    Property(L"Misses", L"plMisses", VT_I4, L"Lookups that found none"),
    Property(L"HitRatio", L"pdHitRatio", VT_R8, L"Hits / (Hits + Misses); 0 before the first lookup"),
};

// The dispatch view of a dual interface and, through index -1, its vtable view.
struct DualInterface {
    DualInterface(ITypeLib* library, REFIID iid) {
        if (library == nullptr) return;
        EXPECT_EQ(library->GetTypeInfoOfGuid(iid, dispatch.Receive()), S_OK);
        if (!dispatch) return;
        HREFTYPE vtableRef = 0;
        EXPECT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef), S_OK);
        EXPECT_EQ(dispatch->GetRefTypeInfo(vtableRef, vtable.Receive()), S_OK);
    }
    ComRef<ITypeInfo> dispatch;
    ComRef<ITypeInfo> vtable;
};

const WORD kDualFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;

// The interface's name, help string, identifier, flags, own function count,
// table size in slots, and the interface it derives from.
void ExpectDual(const DualInterface& dual, const wchar_t* name, REFIID iid, WORD functions, int slots,
                const wchar_t* base) {
    TypeAttr dispatchAttr(dual.dispatch.Get());
    EXPECT_EQ(dispatchAttr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(dispatchAttr->wTypeFlags & kDualFlags, kDualFlags);
    EXPECT_EQ(NameOf(dual.dispatch.Get(), MEMBERID_NIL), name);
    EXPECT_EQ(DocOf(dual.dispatch.Get(), MEMBERID_NIL), std::wstring(name) + L" Interface");

    TypeAttr vtableAttr(dual.vtable.Get());
    EXPECT_EQ(vtableAttr->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(IsEqualGUID(vtableAttr->guid, iid));
    // [oleautomation] is recorded on the vtable view.
    const WORD vtableFlags = kDualFlags | TYPEFLAG_FOLEAUTOMATION;
    EXPECT_EQ(vtableAttr->wTypeFlags & vtableFlags, vtableFlags);
    EXPECT_EQ(vtableAttr->cFuncs, functions);
    EXPECT_EQ(vtableAttr->cbSizeVft, slots * kPointer);

    HREFTYPE baseRef = 0;
    ComRef<ITypeInfo> baseInfo;
    ASSERT_EQ(dual.vtable->GetRefTypeOfImplType(0, &baseRef), S_OK);
    ASSERT_EQ(dual.vtable->GetRefTypeInfo(baseRef, baseInfo.Receive()), S_OK);
    EXPECT_EQ(NameOf(baseInfo.Get(), MEMBERID_NIL), base);
}

// Method i of `methods` has DISPID firstDispid + i and slot firstSlot + i.
void ExpectMethods(ITypeInfo* vtable, const std::vector<Method>& methods, MEMBERID firstDispid, int firstSlot) {
    for (UINT i = 0; i < methods.size(); ++i) {
        const Method& method = methods[i];
        SCOPED_TRACE(testing::Message() << "member " << method.name);
        FuncDesc func(vtable, i);
        ASSERT_NE(func.desc, nullptr);
        EXPECT_EQ(func->memid, static_cast<MEMBERID>(firstDispid + i));
        EXPECT_EQ(func->oVft, static_cast<SHORT>((firstSlot + i) * kPointer));
        EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(func->invkind, method.invoke);
        EXPECT_EQ(func->callconv, CC_STDCALL);
        EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
        EXPECT_EQ(NameOf(vtable, func->memid), method.name);
        EXPECT_EQ(DocOf(vtable, func->memid), method.doc ? std::wstring(method.doc) : L"method " + std::wstring(method.name));

        ASSERT_EQ(func->cParams, static_cast<SHORT>(method.params.size()));
        BSTR names[8] = {};
        UINT nameCount = 0;
        ASSERT_EQ(vtable->GetNames(func->memid, names, 8, &nameCount), S_OK);
        ASSERT_EQ(nameCount, method.params.size() + 1);
        EXPECT_STREQ(names[0], method.name);
        for (size_t p = 0; p < method.params.size(); ++p) {
            const ELEMDESC& elem = func->lprgelemdescParam[p];
            EXPECT_STREQ(names[p + 1], method.params[p].name);
            EXPECT_EQ(elem.tdesc.vt, method.params[p].type) << "param " << p;
            if (elem.tdesc.vt == VT_PTR) {
                EXPECT_EQ(elem.tdesc.lptdesc->vt, method.params[p].pointee) << "param " << p;
            }
            EXPECT_EQ(elem.paramdesc.wParamFlags & (kIn | kOut | PARAMFLAG_FRETVAL),
                      method.params[p].flags) << "param " << p;
        }
        for (UINT n = 0; n < nameCount; ++n) ::SysFreeString(names[n]);
    }
}

// Every member name, through the dispatch view, to DISPIDs 1, 2, ... in order.
void ExpectNamesResolve(ITypeInfo* dispatch, const std::vector<Method>& methods) {
    for (UINT i = 0; i < methods.size(); ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(methods[i].name);
        MEMBERID id = MEMBERID_NIL;
        EXPECT_EQ(dispatch->GetIDsOfNames(&name, 1, &id), S_OK) << i;
        EXPECT_EQ(id, static_cast<MEMBERID>(i + 1));
    }
}

class TypeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(library_); }

    ComRef<ITypeLib> library_ = LoadOwnTypeLibrary();
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

TEST_F(TypeLibraryTest, CoclassIsCreatableWithICOMCache2AsDefaultBesideICOMCache) {
    ComRef<ITypeInfo> coclass;
    ASSERT_EQ(library_->GetTypeInfoOfGuid(CLSID_COMCache, coclass.Receive()), S_OK);
    TypeAttr attr(coclass.Get());
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
    ASSERT_EQ(attr->cImplTypes, 2);
    EXPECT_EQ(NameOf(coclass.Get(), MEMBERID_NIL), L"COMCache");
    EXPECT_EQ(DocOf(coclass.Get(), MEMBERID_NIL), L"COMCache Class");

    const wchar_t* const names[] = {L"ICOMCache2", L"ICOMCache"};
    for (UINT index = 0; index < 2; ++index) {
        INT implFlags = 0;
        ASSERT_EQ(coclass->GetImplTypeFlags(index, &implFlags), S_OK);
        EXPECT_EQ((implFlags & IMPLTYPEFLAG_FDEFAULT) != 0, index == 0) << index;
        HREFTYPE ref = 0;
        ComRef<ITypeInfo> implemented;
        ASSERT_EQ(coclass->GetRefTypeOfImplType(index, &ref), S_OK);
        ASSERT_EQ(coclass->GetRefTypeInfo(ref, implemented.Receive()), S_OK);
        EXPECT_EQ(NameOf(implemented.Get(), MEMBERID_NIL), names[index]);
    }
}

// Each dual interface: its own members in the slots after its base's, and
// through the dispatch view every name, its base's included, in DISPID
// order. ICOMCache is as every existing client knows it: 9 methods after
// IDispatch's 7 slots, DISPIDs 1-9.
TEST_F(TypeLibraryTest, EachInterfaceHasItsSlotsDispidsParametersAndNames) {
    std::vector<Method> all = kMethods;
    all.insert(all.end(), kMethods2.begin(), kMethods2.end());
    const struct {
        const IID* iid;
        const wchar_t* name;
        const wchar_t* base;
        const std::vector<Method>& own;
        MEMBERID firstDispid;
        int firstSlot;
        const std::vector<Method>& visible;  // through the dispatch view
    } interfaces[] = {
        {&IID_ICOMCache, L"ICOMCache", L"IDispatch", kMethods, 1, 7, kMethods},
        {&IID_ICOMCache2, L"ICOMCache2", L"ICOMCache", kMethods2, 10, 16, all},
        {&IID_ICacheStatistics, L"ICacheStatistics", L"IDispatch", kProperties, 1, 7, kProperties},
    };
    for (const auto& expected : interfaces) {
        SCOPED_TRACE(expected.name);
        const DualInterface dual(library_.Get(), *expected.iid);
        ASSERT_TRUE(dual.dispatch && dual.vtable);
        const int own = static_cast<int>(expected.own.size());
        ExpectDual(dual, expected.name, *expected.iid, static_cast<WORD>(own), expected.firstSlot + own,
                   expected.base);
        ExpectMethods(dual.vtable.Get(), expected.own, expected.firstDispid, expected.firstSlot);
        ExpectNamesResolve(dual.dispatch.Get(), expected.visible);
    }
}

}  // namespace
