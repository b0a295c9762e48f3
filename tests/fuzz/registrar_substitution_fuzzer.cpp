// Fuzzes the substitution pass against a plain model of it.
//
// Input: substitution lines "name=text" separated by "\n", a NUL, then the
// script. Flag byte bit 0 selects the double-byte code page. In both code
// pages the pass must give exactly the model's result and text.
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

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The pass as plainly as it can be said. The script is read a character at
// a time: a lead byte takes the next byte with it (unless it is the last
// one), so a "%" that is a trail byte is no "%". A name matches a table
// entry of the same bytes, where the script's single-byte characters may
// differ in ASCII letter case and its double-byte characters may not.
HRESULT Model(const std::string& script, const Table& table, const ITextServices& text, std::string* result) {
    const auto charLength = [&](std::size_t at) -> std::size_t {
        return text.IsLeadByte(static_cast<unsigned char>(script[at])) && at + 1 < script.size() ? 2 : 1;
    };
    const auto matches = [&](std::size_t start, std::size_t length, const std::string& name) {
        if (name.size() != length) return false;
        for (std::size_t i = 0; i < length;) {
            const std::size_t step = std::min(charLength(start + i), length - i);
            if (step == 2 ? script.compare(start + i, 2, name, i, 2) != 0
                          : Fold(script[start + i]) != Fold(name[i]))
                return false;
            i += step;
        }
        return true;
    };
    for (std::size_t i = 0; i < script.size();) {
        if (script[i] != '%') {
            result->append(script, i, charLength(i));
            i += charLength(i);
        } else if (i + 1 < script.size() && script[i + 1] == '%') {
            result->push_back('%');
            i += 2;
        } else {
            std::size_t end = i + 1;
            while (end < script.size() && script[end] != '%') end += charLength(end);
            if (end >= script.size()) return DISP_E_EXCEPTION;
            const std::size_t length = end - i - 1;
            if (length > kMaxSubstitutionName) return E_FAIL;
            const auto found = std::find_if(table.begin(), table.end(),
                                            [&](const auto& entry) { return matches(i + 1, length, entry.first); });
            if (found == table.end()) return DISP_E_EXCEPTION;
            *result += found->second;
            i = end + 1;
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
    const HRESULT modelHr = Model(script, table, text, &expected);
    if (hr != modelHr) Fail("result differs from the model");
    if (SUCCEEDED(hr) && expected != expanded.Get()) Fail("expansion differs from the model");
    return 0;
}
