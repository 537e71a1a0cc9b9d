// Conversions between the program's values and COM VARIANTs, used by the member calls of
// automation.h. Texts cross as UTF-16 BSTRs converted from and to GBK (wide_text.h).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "runtime/automation.h"
#include "runtime/memory.h"
#include "runtime/text.h"
#include "runtime/wide_text.h"

namespace rh {

// VariantCopy and VariantCopyInd only read their source; MinGW's headers declare it non-const.
inline HRESULT CopyVariant(VARIANT& to, const VARIANT& from) noexcept {
    return VariantCopy(&to, const_cast<VARIANT*>(&from));
}
inline HRESULT CopyVariantInd(VARIANT& to, const VARIANT& from) noexcept {
    return VariantCopyInd(&to, const_cast<VARIANT*>(&from));
}

// A BSTR of the text (the caller frees it); null for the empty text, and null when the system has
// no memory for it (then `ok` is false).
BSTR BstrFromText(TextView text, bool& ok);

// The VARIANT type a parameter is declared with: VT_INT read as VT_I4, VT_UINT as VT_UI4, a pointer
// as its target plus VT_BYREF (except that a pointer to an interface is that interface, which is
// how interface references are declared), a safe array or C array as its element type plus
// VT_ARRAY, and a user-defined type resolved through `owner` (an enumeration as VT_I4, a dispatch
// interface as VT_DISPATCH, an alias as the aliased type, anything else as VT_UNKNOWN).
VARTYPE DeclaredType(ITypeInfo* owner, const TYPEDESC& type);

// Puts the argument's value into `out` (which must be VT_EMPTY). `declaredBase` (the declared type
// without VT_BYREF) decides how an object is passed. False when the value cannot be passed.
bool ArgumentToVariant(const Argument& argument, VARTYPE declaredBase, VARIANT& out);

// Converts a call's result: a copy that dereferences by-reference values (VariantCopyInd), then
// coerced to the requested type (VariantChangeType). False when either fails and for every
// VT_RECORD value; `out` is then left as it was.
bool VariantToResult(const VARIANT& value, ResultType requested, AutomationResult& out);

// The empty value of the requested type.
AutomationResult EmptyResult(ResultType requested);

}  // namespace rh
