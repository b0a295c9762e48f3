// ICOMCache's methods through IDispatch::Invoke answer exactly as the type
// information's own Invoke answers, whether or not the server calls them
// without it: each case runs both ways on the same object state, and the
// HRESULT, the result, puArgErr, the EXCEPINFO, the by-reference outputs and
// the cache afterwards must agree.
#include "automation/by_ref_out_bstr.h"
#include "tests/common/server_dll.h"
#include "tests/server/dispatch_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qc::test {
namespace {

// One argument of a case, in the method's order.
struct Arg {
    enum Kind {
        Text, NullText, I4, I2, R8, Bool, Empty, Null, Object, TextRef, Variable, NumberVariable, EmptyVariable,
        NullVariable, I4Ref, Texts
    };
    Kind kind;
    const wchar_t* text = nullptr;
    double number = 0;
};
Arg T(const wchar_t* text) { return {Arg::Text, text}; }
Arg N(Arg::Kind kind, double number = 0) { return {kind, nullptr, number}; }

struct Case {
    const char* name;
    DISPID dispid;
    std::vector<Arg> args;
    WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    bool named = false;  // the first argument passed by its DISPID 0
};

const Case kCases[] = {
    {"Add", DISPID_COMCACHE_ADD, {T(L"bob"), T(L"text of bob"), T(L"Users")}},
    {"Add replacing", DISPID_COMCACHE_ADD, {T(L"alice"), T(L"new"), T(L"Users")}, DISPATCH_METHOD},
    {"Add to no cache", DISPID_COMCACHE_ADD, {T(L"bob"), T(L"x"), T(L"Nope")}},
    {"Add null name", DISPID_COMCACHE_ADD, {N(Arg::NullText), T(L"x"), T(L"Users")}},
    {"Add number text", DISPID_COMCACHE_ADD, {T(L"bob"), N(Arg::I4, 42), T(L"Users")}},
    {"Add short, double, bool", DISPID_COMCACHE_ADD, {N(Arg::I2, 7), N(Arg::R8, 2.5), T(L"Users")}},
    {"Add bool name", DISPID_COMCACHE_ADD, {N(Arg::Bool), T(L"x"), T(L"Users")}},
    {"Add empty", DISPID_COMCACHE_ADD, {N(Arg::Empty), T(L"x"), T(L"Users")}},
    {"Add null", DISPID_COMCACHE_ADD, {T(L"bob"), N(Arg::Null), T(L"Users")}},
    {"Add object", DISPID_COMCACHE_ADD, {T(L"bob"), N(Arg::Object), T(L"Users")}},
    {"Add by-reference text", DISPID_COMCACHE_ADD, {N(Arg::TextRef), T(L"x"), T(L"Users")}},
    {"Add by-reference variable", DISPID_COMCACHE_ADD, {N(Arg::Variable), T(L"x"), T(L"Users")}},
    {"Add number variable", DISPID_COMCACHE_ADD, {T(L"bob"), N(Arg::NumberVariable, 8), N(Arg::Variable)}},
    {"Add empty variable", DISPID_COMCACHE_ADD, {T(L"bob"), N(Arg::EmptyVariable), T(L"Users")}},
    {"Add null variable reference", DISPID_COMCACHE_ADD, {T(L"bob"), N(Arg::NullVariable), T(L"Users")}},
    {"Add two", DISPID_COMCACHE_ADD, {T(L"bob"), T(L"x")}},
    {"Add four", DISPID_COMCACHE_ADD, {T(L"bob"), T(L"x"), T(L"Users"), T(L"y")}},
    {"Add named", DISPID_COMCACHE_ADD, {T(L"bob"), T(L"x"), T(L"Users")}, DISPATCH_METHOD, true},
    {"Add as property", DISPID_COMCACHE_ADD, {T(L"bob"), T(L"x"), T(L"Users")}, DISPATCH_PROPERTYGET},
    {"Add as put", DISPID_COMCACHE_ADD, {T(L"bob"), T(L"x"), T(L"Users")}, DISPATCH_PROPERTYPUT},
    {"Get into a BSTR", DISPID_COMCACHE_GET, {T(L"alice"), N(Arg::TextRef), T(L"Users")}},
    {"Get into a variable", DISPID_COMCACHE_GET, {T(L"alice"), N(Arg::Variable), T(L"Users")}},
    {"Get absent", DISPID_COMCACHE_GET, {T(L"bob"), N(Arg::Variable), T(L"Users")}},
    {"Get from no cache", DISPID_COMCACHE_GET, {T(L"alice"), N(Arg::TextRef), T(L"Nope")}},
    {"Get null key", DISPID_COMCACHE_GET, {N(Arg::NullText), N(Arg::TextRef), T(L"Users")}},
    {"Get number key", DISPID_COMCACHE_GET, {N(Arg::I4, 5), N(Arg::Variable), T(L"Users")}},
    {"Get null reference", DISPID_COMCACHE_GET, {T(L"alice"), N(Arg::NullVariable), T(L"Users")}},
    {"Get into a long", DISPID_COMCACHE_GET, {T(L"alice"), N(Arg::I4Ref), T(L"Users")}},
    {"Get by value", DISPID_COMCACHE_GET, {T(L"alice"), T(L"v"), T(L"Users")}},
    {"Get missing out", DISPID_COMCACHE_GET, {T(L"alice")}},
    {"Get named", DISPID_COMCACHE_GET, {T(L"alice"), N(Arg::Variable), T(L"Users")}, DISPATCH_METHOD, true},
    {"Get as property", DISPID_COMCACHE_GET, {T(L"alice"), N(Arg::TextRef), T(L"Users")}, DISPATCH_PROPERTYGET},
    {"Free", DISPID_COMCACHE_FREE, {T(L"alice"), T(L"Users")}},
    {"Free absent", DISPID_COMCACHE_FREE, {T(L"bob"), N(Arg::Empty)}},
    {"DestroyCache", DISPID_COMCACHE_DESTROYCACHE, {T(L"Users")}},
    {"DestroyCache none", DISPID_COMCACHE_DESTROYCACHE, {}},
    {"CreateCache", DISPID_COMCACHE_CREATECACHE, {T(L"Other"), N(Arg::I4, 5), N(Arg::I4, 1)}},
    {"CreateCache coerced", DISPID_COMCACHE_CREATECACHE, {T(L"Other"), N(Arg::I2, 5), N(Arg::R8, 1.6)}},
    {"CreateCache text count", DISPID_COMCACHE_CREATECACHE, {T(L"Other"), T(L"12"), T(L"many")}},
    {"CreateCache variables", DISPID_COMCACHE_CREATECACHE,
     {N(Arg::Variable), N(Arg::NumberVariable, 5), N(Arg::NumberVariable, 1)}},
    {"CreateCache text variable", DISPID_COMCACHE_CREATECACHE,
     {T(L"Other"), N(Arg::Variable), N(Arg::NumberVariable, 1)}},
    {"CreateCache twice", DISPID_COMCACHE_CREATECACHE, {T(L"Users"), N(Arg::I4, 5), N(Arg::I4, 1)}},
    {"Terminate", DISPID_COMCACHE_TERMINATE, {}},
    {"Terminate with one", DISPID_COMCACHE_TERMINATE, {N(Arg::I4, 1)}},
    {"Initialize", DISPID_COMCACHE_INITIALIZE, {}, DISPATCH_METHOD},
    {"GetMessageFromExchange", DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE,
     {T(L"u"), T(L"h"), T(L"alice"), T(L"Users"), N(Arg::Variable)}},
    {"GetMessageFromExchange BSTR", DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE,
     {T(L"u"), T(L"h"), T(L"alice"), T(L"Users"), N(Arg::TextRef)}},
    {"GetMessageFromExchange null", DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE,
     {T(L"u"), N(Arg::NullText), T(L"alice"), T(L"Users"), N(Arg::TextRef)}},
    {"SetHiddemMessageParameters", DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS, {N(Arg::Texts)}},
    {"SetHiddemMessageParameters text", DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS, {T(L"a")}},
    {"SetHiddemMessageParameters variable", DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS, {N(Arg::Variable)}},
    {"Lookup", DISPID_COMCACHE_LOOKUP, {T(L"alice"), T(L"Users")}},
    {"Unknown member", 99, {}},
};

// What one way of calling gave, and what the cache held afterwards.
struct Outcome {
    HRESULT hr = E_UNEXPECTED;
    std::wstring result;  // the result VARIANT, described
    UINT argumentError = 0xDEAD;
    SCODE scode = 0;
    WORD wCode = 0;
    std::wstring source, description, helpFile;
    DWORD helpContext = 0;
    std::wstring outputs;  // the by-reference arguments afterwards
    std::wstring state;
};

std::wstring Describe(const VARIANT& value) {
    std::wstring text = std::to_wstring(V_VT(&value)) + L":";
    if (V_VT(&value) == VT_BSTR) text += V_BSTR(&value) != nullptr ? V_BSTR(&value) : L"(null)";
    if (V_VT(&value) == VT_I4) text += std::to_wstring(V_I4(&value));
    return text;
}
std::wstring TextOf(BSTR text) { return text != nullptr ? text : L"(null)"; }

class DirectInvoke : public ComCacheTest {
protected:
    void SetUp() override {
        ComCacheTest::SetUp();
        ASSERT_EQ(cache->QueryInterface(IID_IDispatch, dispatch_.ReceiveVoid()), S_OK);
        ASSERT_EQ(dispatch_->GetTypeInfo(0, LOCALE_USER_DEFAULT, typeInfo_.Receive()), S_OK);
    }

    // Users holds alice, and the logging and Other are as new.
    void Reset() {
        cache->Terminate();
        ASSERT_EQ(cache->Initialize(), S_OK);
        ASSERT_EQ(cache->CreateCache(Bstr(L"Users").Get(), 10, 5), S_OK);
        ASSERT_EQ(cache->Add(Bstr(L"alice").Get(), Bstr(L"text of alice").Get(), Bstr(L"Users").Get()), S_OK);
        ::SetErrorInfo(0, nullptr);
    }
    std::wstring State() {
        std::wstring state;
        for (const wchar_t* type : {L"Users", L"Other"}) {
            for (const wchar_t* user : {L"alice", L"bob", L"old", L"7", L"8", L"-1", L"True"}) {
                Variant text;
                const HRESULT hr = cache2->Lookup(Bstr(user).Get(), Bstr(type).Get(), &text);
                state += std::to_wstring(hr) + L"=" + Describe(text.Get()) + L";";
            }
        }
        return state;
    }

    Outcome Run(const Case& test, bool byTypeInfo) {
        Reset();
        // Storage the arguments point at, made afresh for each way.
        std::vector<Bstr> texts;
        texts.reserve(test.args.size());
        std::vector<BSTR> slots(test.args.size(), nullptr);
        std::vector<Variant> variables(test.args.size());
        std::vector<LONG> longs(test.args.size(), 3);
        Variant array;
        std::vector<VARIANT> args;
        for (size_t i = 0; i < test.args.size(); ++i) {
            const Arg& arg = test.args[i];
            VARIANT value;
            ::VariantInit(&value);
            switch (arg.kind) {
            case Arg::Text: texts.emplace_back(arg.text); value = BstrArg(texts.back().Get()); break;
            case Arg::NullText: value = BstrArg(nullptr); break;
            case Arg::I4: value = LongArg(static_cast<LONG>(arg.number)); break;
            case Arg::I2: V_VT(&value) = VT_I2; V_I2(&value) = static_cast<SHORT>(arg.number); break;
            case Arg::R8: V_VT(&value) = VT_R8; V_R8(&value) = arg.number; break;
            case Arg::Bool: V_VT(&value) = VT_BOOL; V_BOOL(&value) = VARIANT_TRUE; break;
            case Arg::Empty: break;
            case Arg::Null: V_VT(&value) = VT_NULL; break;
            case Arg::Object: V_VT(&value) = VT_DISPATCH; V_DISPATCH(&value) = dispatch_.Get(); break;
            case Arg::TextRef: slots[i] = ::SysAllocString(L"old"); value = BstrRefArg(&slots[i]); break;
            case Arg::Variable:
                V_VT(&variables[i].Get()) = VT_BSTR;
                V_BSTR(&variables[i].Get()) = ::SysAllocString(L"old");
                value = VariableArg(&variables[i]);
                break;
            case Arg::NumberVariable:
                V_VT(&variables[i].Get()) = VT_I4;
                V_I4(&variables[i].Get()) = static_cast<LONG>(arg.number);
                value = VariableArg(&variables[i]);
                break;
            case Arg::EmptyVariable: value = VariableArg(&variables[i]); break;
            case Arg::NullVariable: value = VariableArg(nullptr); break;
            case Arg::I4Ref: V_VT(&value) = VT_BYREF | VT_I4; V_I4REF(&value) = &longs[i]; break;
            case Arg::Texts: {
                SAFEARRAY* list = ::SafeArrayCreateVector(VT_BSTR, 0, 2);
                for (LONG index = 0; index < 2; ++index) {
                    Bstr element(index == 0 ? L"p" : L"q");
                    ::SafeArrayPutElement(list, &index, element.Get());
                }
                V_VT(&array.Get()) = VT_ARRAY | VT_BSTR;
                V_ARRAY(&array.Get()) = list;
                value = array.Get();
                break;
            }
            }
            args.push_back(value);
        }
        std::vector<VARIANTARG> list(args.rbegin(), args.rend());
        DISPID named = 0;
        DISPPARAMS params{list.empty() ? nullptr : list.data(), test.named ? &named : nullptr,
                          static_cast<UINT>(list.size()), test.named ? 1u : 0u};

        Outcome outcome;
        Variant result;
        V_VT(&result.Get()) = VT_I4;
        V_I4(&result.Get()) = 0x5A5A;  // tells whether the result was written
        EXCEPINFO exception{};
        if (byTypeInfo) {
            // The server's own script adaption, then the type information.
            const bool get = test.dispid == DISPID_COMCACHE_GET;
            const bool message = test.dispid == DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE;
            CByRefOutBstr out(&params, get ? 3 : message ? 5 : 0, get ? 1 : message ? 4 : 0);
            outcome.hr = out.Check(&outcome.argumentError);
            if (SUCCEEDED(outcome.hr)) {
                outcome.hr = out.Complete(typeInfo_->Invoke(dispatch_.Get(), test.dispid, test.flags, out.Params(),
                                                            &result, &exception, &outcome.argumentError));
            }
        } else {
            outcome.hr = dispatch_->Invoke(test.dispid, IID_NULL, LOCALE_USER_DEFAULT, test.flags, &params, &result,
                                           &exception, &outcome.argumentError);
        }
        outcome.result = Describe(result.Get());
        outcome.scode = exception.scode;
        outcome.wCode = exception.wCode;
        outcome.source = TextOf(exception.bstrSource);
        outcome.description = TextOf(exception.bstrDescription);
        outcome.helpFile = TextOf(exception.bstrHelpFile);
        outcome.helpContext = exception.dwHelpContext;
        ::SysFreeString(exception.bstrSource);
        ::SysFreeString(exception.bstrDescription);
        ::SysFreeString(exception.bstrHelpFile);
        for (size_t i = 0; i < test.args.size(); ++i) {
            outcome.outputs += TextOf(slots[i]) + L"|" + Describe(variables[i].Get()) + L"|" +
                               std::to_wstring(longs[i]) + L";";
            ::SysFreeString(slots[i]);
        }
        outcome.state = State();
        return outcome;
    }

    ComRef<IDispatch> dispatch_;
    ComRef<ITypeInfo> typeInfo_;
};

TEST_F(DirectInvoke, EveryCallAnswersAsTheTypeInformationDoes) {
    for (const Case& test : kCases) {
        SCOPED_TRACE(test.name);
        const Outcome server = Run(test, false);
        const Outcome reference = Run(test, true);
        EXPECT_EQ(server.hr, reference.hr);
        EXPECT_EQ(server.result, reference.result);
        EXPECT_EQ(server.argumentError, reference.argumentError);
        EXPECT_EQ(server.scode, reference.scode);
        EXPECT_EQ(server.wCode, reference.wCode);
        EXPECT_EQ(server.source, reference.source);
        EXPECT_EQ(server.description, reference.description);
        EXPECT_EQ(server.helpFile, reference.helpFile);
        EXPECT_EQ(server.helpContext, reference.helpContext);
        EXPECT_EQ(server.outputs, reference.outputs);
        EXPECT_EQ(server.state, reference.state);
    }
}

}  // namespace
}  // namespace qc::test
