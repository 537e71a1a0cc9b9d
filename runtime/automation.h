// Automation values and member calls by name.
//
// The page logic reads, writes and calls members of the browser's document objects by name at run
// time. Members are found through each object's type information (ITypeInfo/ITypeComp), never
// through GetIDsOfNames, and called through IDispatch::Invoke. No failure is ever shown or thrown:
// a failed call gives the empty value of its result type (the empty text, 0, false, an empty
// object) and leaves a code in LastAutomationError() for the calling thread.
//
// The calling thread must have COM initialised.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <array>
#include <cstdint>
#include <span>
#include <variant>

#include "runtime/text.h"

namespace rh {

// ---------------------------------------------------------------------------------------------
// Values

// Owns exactly one reference to a COM object, or none (then it is empty). Copying adds a
// reference of its own, moving hands the reference over, destruction releases it.
class ComObject {
  public:
    ComObject() noexcept = default;
    // Takes over a reference that the caller owns; null gives an empty object.
    static ComObject Adopt(IUnknown* owned) noexcept;
    // Adds a reference of its own to an interface the caller keeps; null gives an empty object.
    static ComObject Share(IUnknown* borrowed) noexcept;

    ComObject(const ComObject& other) noexcept;
    ComObject(ComObject&& other) noexcept;
    ComObject& operator=(const ComObject& other) noexcept;
    ComObject& operator=(ComObject&& other) noexcept;
    ~ComObject();

    IUnknown* Get() const noexcept { return unknown_; }
    bool IsEmpty() const noexcept { return unknown_ == nullptr; }
    // Releases the reference; the object is empty afterwards.
    void Clear() noexcept;
    // Hands the reference to the caller; the object is empty afterwards.
    IUnknown* Detach() noexcept;
    // QueryInterface on the held object; E_POINTER when empty.
    HRESULT QueryInterface(REFIID iid, void** out) const noexcept;

  private:
    IUnknown* unknown_ = nullptr;
};

// The destination holds the source's object with a reference of its own (what it held before is
// released); an empty source leaves it empty.
void CopyObject(ComObject& destination, const ComObject& source) noexcept;
// Releases the object's reference; an empty object stays empty.
void ClearObject(ComObject& object) noexcept;
bool IsEmptyObject(const ComObject& object) noexcept;

// A VARIANT that clears itself. Starts as VT_EMPTY.
class Variant {
  public:
    Variant() noexcept;
    // A copy of `value` as VariantCopyInd makes it (by-reference values are dereferenced);
    // VT_EMPTY when the copy fails.
    explicit Variant(const VARIANT& value) noexcept;
    Variant(const Variant& other) noexcept;
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other) noexcept;
    Variant& operator=(Variant&& other) noexcept;
    ~Variant();

    VARIANT* Get() noexcept { return &value_; }
    const VARIANT* Get() const noexcept { return &value_; }
    VARTYPE Type() const noexcept { return V_VT(&value_); }
    void Clear() noexcept;
    // Clears the value and returns its address, for calls that fill a VARIANT.
    VARIANT* Receive() noexcept;

  private:
    VARIANT value_;
};

// An OLE Automation date (days since 30 December 1899), passed as its 8 bytes.
struct DateTime {
    double value = 0;
};

// ---------------------------------------------------------------------------------------------
// Member arguments

// A member argument left out. Trailing omitted arguments are dropped before the call; one before a
// given argument is passed as the standard missing-argument marker.
struct Omitted {};
inline constexpr Omitted kOmitted{};

// Arguments passed by reference: the member sees the caller's variable, and a parameter declared
// [out] writes its new value back into it.
struct TextReference {
    Text* text;
};
struct ObjectReference {
    ComObject* object;
};
inline TextReference ByRef(Text& text) noexcept {
    return {&text};
}
inline ObjectReference ByRef(ComObject& object) noexcept {
    return {&object};
}

// One argument of a member call. It refers to the caller's texts and objects without copying
// them, so it lives only as long as the call expression that makes it.
class Argument {
  public:
    struct ObjectValue {
        const ComObject* object;
    };
    struct VariantValue {
        const VARIANT* value;
    };
    using Value = std::variant<Omitted, bool, std::uint8_t, std::int16_t, std::int32_t,
                               std::int64_t, float, double, DateTime, TextView, TextReference,
                               ObjectValue, ObjectReference, VariantValue>;

    Argument() noexcept : value_(Omitted{}) {}
    Argument(Omitted) noexcept : value_(Omitted{}) {}
    Argument(bool value) noexcept : value_(value) {}
    Argument(std::uint8_t value) noexcept : value_(value) {}
    Argument(std::int16_t value) noexcept : value_(value) {}
    Argument(std::int32_t value) noexcept : value_(value) {}
    Argument(std::int64_t value) noexcept : value_(value) {}
    Argument(float value) noexcept : value_(value) {}
    Argument(double value) noexcept : value_(value) {}
    Argument(DateTime value) noexcept : value_(value) {}
    Argument(const char* text) noexcept : value_(text ? TextView(text) : TextView()) {}
    Argument(TextView text) noexcept : value_(text) {}
    Argument(const Text& text) noexcept : value_(View(text)) {}
    Argument(TextReference text) noexcept : value_(text) {}
    Argument(const ComObject& object) noexcept : value_(ObjectValue{&object}) {}
    Argument(ObjectReference object) noexcept : value_(object) {}
    Argument(const Variant& value) noexcept : value_(VariantValue{value.Get()}) {}
    // Any other pointer would quietly become a boolean; pass texts and objects by ByRef().
    template <class T>
    Argument(T*) = delete;

    const Value& value() const noexcept { return value_; }
    bool IsOmitted() const noexcept { return std::holds_alternative<Omitted>(value_); }

  private:
    Value value_;
};

// ---------------------------------------------------------------------------------------------
// Member calls by name

// Which kinds of member a name is looked up as, and in which order:
//   PropertyGet: property get, then function;
//   PropertyPut: property put, property put-by-reference, then function;
//   MethodCall:  function, property get, property put, property put-by-reference.
enum class InvokeMode { PropertyGet = 1, PropertyPut = 2, MethodCall = 3 };

// The value a call's result is converted to.
enum class ResultType {
    None,
    Text,
    Double,
    Object,
    Boolean,
    Integer,
    LongInteger,
    Byte,
    ShortInteger,
    Float,
    DateTime,
    Variant,
};

// Holds a value of the requested ResultType (std::monostate for ResultType::None), in the
// order of that enumeration.
using AutomationResult =
    std::variant<std::monostate, Text, double, ComObject, bool, std::int32_t, std::int64_t,
                 std::uint8_t, std::int16_t, float, DateTime, Variant>;

// Codes of LastAutomationError(); 0 is success.
inline constexpr int kAutomationOk = 0;
inline constexpr int kAutomationEmptyObject = -1;        // the object is empty
inline constexpr int kAutomationNoDispatch = -2;         // the object gives no IDispatch
inline constexpr int kAutomationNameNotFound = -3;       // no function or variable by that name
inline constexpr int kAutomationNoTypeInfo = -4;         // GetTypeInfo or GetTypeComp failed
inline constexpr int kAutomationTooManyArguments = -5;   // more arguments than declared
inline constexpr int kAutomationBadArgument = -7;        // an argument cannot be converted
inline constexpr int kAutomationBadResult = -8;          // the result cannot be converted
inline constexpr int kAutomationBadParamCount = -9;      // DISP_E_BADPARAMCOUNT
inline constexpr int kAutomationBadVarType = -10;        // DISP_E_BADVARTYPE
inline constexpr int kAutomationException = -11;         // DISP_E_EXCEPTION
inline constexpr int kAutomationMemberNotFound = -12;    // DISP_E_MEMBERNOTFOUND
inline constexpr int kAutomationNoNamedArgs = -13;       // DISP_E_NONAMEDARGS
inline constexpr int kAutomationOverflow = -14;          // DISP_E_OVERFLOW
inline constexpr int kAutomationParamNotFound = -15;     // DISP_E_PARAMNOTFOUND
inline constexpr int kAutomationTypeMismatch = -16;      // DISP_E_TYPEMISMATCH
inline constexpr int kAutomationParamNotOptional = -17;  // DISP_E_PARAMNOTOPTIONAL
inline constexpr int kAutomationInvokeFailed = -18;      // any other failure of Invoke

// Looks `name` up through the object's type information under the mode's lookup kinds, calls it
// with `arguments` (in the member's own order) and converts the result to `requested` into
// `result` (the empty value of that type after a failure). Returns the code that it also stores
// for LastAutomationError(). An empty name names no member (-3). Objects and texts passed by
// reference to parameters declared [out] receive the member's new value.
int InvokeByName(const ComObject& object, TextView name, InvokeMode mode,
                 std::span<const Argument> arguments, ResultType requested,
                 AutomationResult& result);

// The code of the calling thread's last member call (InvokeByName and the six operations below).
int LastAutomationError() noexcept;

namespace automation_detail {
Text ReadTextProperty(const ComObject& object, TextView name, std::span<const Argument> arguments);
double ReadNumberProperty(const ComObject& object, TextView name,
                          std::span<const Argument> arguments);
ComObject ReadObjectProperty(const ComObject& object, TextView name,
                             std::span<const Argument> arguments);
void CallMethod(const ComObject& object, TextView name, std::span<const Argument> arguments);
ComObject CallObjectMethod(const ComObject& object, TextView name,
                           std::span<const Argument> arguments);
bool WriteProperty(const ComObject& object, TextView name, std::span<const Argument> arguments);
}  // namespace automation_detail

// The six member operations: the object, the member name, then the member's own arguments.

// A property (or function) read as text; the empty text when it fails or is empty.
template <class... Args>
Text ReadTextProperty(const ComObject& object, TextView name, const Args&... args) {
    const std::array<Argument, sizeof...(Args)> list{Argument(args)...};
    return automation_detail::ReadTextProperty(object, name, list);
}

// A property read as a double; 0 when it fails.
template <class... Args>
double ReadNumberProperty(const ComObject& object, TextView name, const Args&... args) {
    const std::array<Argument, sizeof...(Args)> list{Argument(args)...};
    return automation_detail::ReadNumberProperty(object, name, list);
}

// A property read as an object; an empty object when it fails.
template <class... Args>
ComObject ReadObjectProperty(const ComObject& object, TextView name, const Args&... args) {
    const std::array<Argument, sizeof...(Args)> list{Argument(args)...};
    return automation_detail::ReadObjectProperty(object, name, list);
}

// Calls a method and ignores its result.
template <class... Args>
void CallMethod(const ComObject& object, TextView name, const Args&... args) {
    const std::array<Argument, sizeof...(Args)> list{Argument(args)...};
    automation_detail::CallMethod(object, name, list);
}

// Calls a method whose result is an object; an empty object when it fails.
template <class... Args>
ComObject CallObjectMethod(const ComObject& object, TextView name, const Args&... args) {
    const std::array<Argument, sizeof...(Args)> list{Argument(args)...};
    return automation_detail::CallObjectMethod(object, name, list);
}

// Writes a property: its index arguments, if it takes any, then the value last. True when the
// write succeeded.
template <class... Args>
bool WriteProperty(const ComObject& object, TextView name, const Args&... args) {
    const std::array<Argument, sizeof...(Args)> list{Argument(args)...};
    return automation_detail::WriteProperty(object, name, list);
}

}  // namespace rh
