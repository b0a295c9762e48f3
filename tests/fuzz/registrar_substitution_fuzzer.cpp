// Fuzzes the substitution pass against a plain model of it.
//
// Input: substitution lines "name=text" separated by "\n", a NUL, then the
// script. In a single-byte code page the pass must give exactly the model's
// result; in the double-byte one (flag byte bit 0) it must at least agree
// with the model on success for scripts without lead bytes.
#include "registrar/reg_object.h"
#include "registrar/substitution_pass.h"
#include "test_text_services.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace qc::registrar;
using namespace qc::registrar::testing;

namespace {

using Table = std::vector<std::pair<std::string, std::string>>;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

// The pass as plainly as it can be said, for single-byte text.
HRESULT Model(const std::string& script, const Table& table, std::string* result) {
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i] != '%') {
            result->push_back(script[i]);
        } else if (i + 1 < script.size() && script[i + 1] == '%') {
            result->push_back('%');
            ++i;
        } else {
            const std::size_t end = script.find('%', i + 1);
            if (end == std::string::npos) return DISP_E_EXCEPTION;
            const std::string name = script.substr(i + 1, end - i - 1);
            if (name.size() > kMaxSubstitutionName) return E_FAIL;
            const auto found = std::find_if(table.begin(), table.end(),
                                            [&](const auto& entry) { return SameIgnoringCase(entry.first, name); });
            if (found == table.end()) return DISP_E_EXCEPTION;
            *result += found->second;
            i = end;
        }
    }
    return S_OK;
}

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool doubleByte = (data[0] & 1) != 0;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = input.find('\0');
    if (split == std::string::npos) return 0;
    const std::string script = input.substr(split + 1).c_str();

    Table table;
    CTestTextServices text(doubleByte ? CTestTextServices::CodePage::DoubleByte
                                      : CTestTextServices::CodePage::SingleByte);
    CRegObject registrar(text);
    std::size_t start = 0;
    while (start < split) {
        const std::size_t end = std::min(input.find('\n', start), split);
        const std::string line = input.substr(start, end - start);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            table.emplace_back(line.substr(0, equals), line.substr(equals + 1));
            registrar.AddSubstitution(Utf16(table.back().first).c_str(), Utf16(table.back().second).c_str());
        }
        start = end + 1;
    }

    CHeapBuffer<char> expanded;
    const HRESULT hr = RunSubstitutionPass(script.c_str(), registrar, expanded);
    std::string expected;
    const HRESULT modelHr = Model(script, table, &expected);

    bool hasLeadByte = false;
    for (const char c : script) hasLeadByte = hasLeadByte || text.IsLeadByte(static_cast<unsigned char>(c));
    for (const auto& entry : table) {
        for (const char c : entry.first) hasLeadByte = hasLeadByte || text.IsLeadByte(static_cast<unsigned char>(c));
    }
    if (hasLeadByte) {
        if (hr != S_OK && hr != DISP_E_EXCEPTION && hr != E_FAIL) Fail("unexpected result");
        return 0;
    }
    if (hr != modelHr) Fail("result differs from the model");
    if (SUCCEEDED(hr) && expected != expanded.Get()) Fail("expansion differs from the model");
    return 0;
}
