// The substitution pass that runs over a registry script before it is parsed.
//
// "%name%" becomes the text of the registrar's substitution of that name (in
// 8-bit text), "%%" becomes "%", everything else is copied. Inserted texts are
// not scanned again, so a text holding "%" stays as it is.
#pragma once

#include "platform/platform.h"
#include "registrar/heap_buffer.h"

namespace qc::registrar {

class CRegObject;

// Longest substitution name a script may use, in bytes.
inline constexpr std::size_t kMaxSubstitutionName = 31;

// Writes the expanded, NUL-terminated script into `expanded`.
//   DISP_E_EXCEPTION  a "%" without a closing "%", or an unknown name
//   E_FAIL            a name longer than kMaxSubstitutionName bytes
//   E_OUTOFMEMORY     the text cannot grow, or a substitution text cannot be converted
HRESULT RunSubstitutionPass(const char* script, const CRegObject& registrar, CHeapBuffer<char>& expanded);

}  // namespace qc::registrar
