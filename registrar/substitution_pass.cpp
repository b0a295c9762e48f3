// The substitution pass that runs over a registry script before it is parsed.
#include "registrar/substitution_pass.h"

#include "registrar/multi_byte_text.h"
#include "registrar/reg_object.h"

#include <cstring>

namespace qc::registrar {

namespace {

// The expanded text. It starts at twice the script's length (1000 bytes for
// short scripts) and doubles whenever an addition would leave no room for the
// terminator, which keeps the number of reallocations logarithmic.
class CExpansion {
public:
    HRESULT Start(std::size_t scriptLength) {
        if (scriptLength > kMaxDoublableCapacity) return E_OUTOFMEMORY;
        const std::size_t capacity = scriptLength * 2 < 100 ? 1000 : scriptLength * 2;
        if (!m_text.Resize(capacity)) return E_OUTOFMEMORY;
        m_text.Get()[0] = '\0';
        return S_OK;
    }

    HRESULT Append(const char* bytes, std::size_t count) {
        std::size_t capacity = m_text.Count();
        while (capacity - m_length <= count) {
            if (capacity > kMaxDoublableCapacity) return E_OUTOFMEMORY;
            capacity *= 2;
        }
        if (capacity != m_text.Count() && !m_text.Resize(capacity)) return E_OUTOFMEMORY;
        std::memcpy(m_text.Get() + m_length, bytes, count);
        m_length += count;
        m_text.Get()[m_length] = '\0';
        return S_OK;
    }

    CHeapBuffer<char>& Text() { return m_text; }

private:
    static constexpr std::size_t kMaxDoublableCapacity = 0x3FFFFFFF;

    CHeapBuffer<char> m_text;
    std::size_t m_length = 0;
};

}  // namespace

HRESULT RunSubstitutionPass(const char* script, const CRegObject& registrar, CHeapBuffer<char>& expanded) {
    const ITextServices& text = registrar.TextServices();
    CExpansion expansion;
    HRESULT hr = expansion.Start(std::strlen(script));
    const char* at = script;
    while (SUCCEEDED(hr) && *at != '\0') {
        if (*at != '%') {
            const std::size_t step = CharLength(text, at);
            hr = expansion.Append(at, step);
            at += step;
            continue;
        }
        if (at[1] == '%') {
            hr = expansion.Append("%", 1);
            at += 2;
            continue;
        }
        const char* name = at + 1;
        const char* end = name;
        while (*end != '\0' && *end != '%') end += CharLength(text, end);
        if (*end == '\0') return DISP_E_EXCEPTION;
        const std::size_t nameLength = static_cast<std::size_t>(end - name);
        if (nameLength > kMaxSubstitutionName) return E_FAIL;
        const WCHAR* substitution = registrar.FindSubstitution(name, nameLength);
        if (substitution == nullptr) return DISP_E_EXCEPTION;
        CHeapBuffer<char> converted;
        hr = ToMultiByte(text, substitution, converted);
        if (SUCCEEDED(hr)) hr = expansion.Append(converted.Get(), std::strlen(converted.Get()));
        at = end + 1;
    }
    if (SUCCEEDED(hr)) expanded.Swap(expansion.Text());
    return hr;
}

}  // namespace qc::registrar
