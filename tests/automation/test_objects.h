// COM objects with real type information for the automation tests, and what they saw of each call.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "automation_test.h"

namespace rh::test {

// The current reference count of an object, read through AddRef and Release.
ULONG RefCount(IUnknown* object);

// The test type library (automation_test.tlb beside the test program) and the type descriptions
// the objects hand out.
class TestTypes {
  public:
    TestTypes();
    ~TestTypes();
    TestTypes(const TestTypes&) = delete;
    TestTypes& operator=(const TestTypes&) = delete;

    bool ok() const { return library_ != nullptr; }
    ITypeInfo* itemDispatch() const { return itemDispatch_; }  // ITestItem as a dispatch interface
    ITypeInfo* itemInterface() const { return itemInterface_; }  // ITestItem's vtable interface
    ITypeInfo* itemClass() const { return itemClass_; }          // TestItemClass
    ITypeInfo* record() const { return record_; }                // DTestRecord
    ITypeInfo* point() const { return point_; }                  // the TestPoint structure

  private:
    ITypeLib* library_ = nullptr;
    ITypeInfo* itemDispatch_ = nullptr;
    ITypeInfo* itemInterface_ = nullptr;
    ITypeInfo* itemClass_ = nullptr;
    ITypeInfo* record_ = nullptr;
    ITypeInfo* point_ = nullptr;
};

// One IDispatch::Invoke as the object received it.
struct ReceivedCall {
    DISPID member = 0;
    WORD flags = 0;
    UINT argumentCount = 0;
    std::vector<DISPID> named;
    std::vector<VARTYPE> types;  // in COM order: the last argument first
};

// Counts its references and keeps the calls it received.
class CountedObject {
  public:
    virtual ~CountedObject() = default;
    std::vector<ReceivedCall> calls;
    bool recording = true;

  protected:
    LONG refs_ = 1;
    void Record(DISPID member, WORD flags, const DISPPARAMS* params);
};

// An element-like object: ITestItem, called through the system's DispInvoke. Its type
// information is the dispatch interface (as document objects give it) or, when `classTypeInfo`
// is set, the class whose default interface is not its first.
class TestItem final : public ITestItem, public CountedObject {
  public:
    explicit TestItem(const TestTypes& types) : types_(types) {}
    ~TestItem() override;

    std::wstring value;
    std::wstring innerText;
    long length = 0;
    bool checked = false;
    DATE when = 0;
    int clicks = 0;
    bool classTypeInfo = false;
    IDispatch* parent = nullptr;         // owned
    IDispatch* owner = nullptr;          // owned
    IDispatch* siblingObject = nullptr;  // owned; what "sibling" hands out
    std::vector<IDispatch*> children;    // owned; "item"(i) hands out child i

    // Lets go of the objects it holds.
    void Unlink();
    void SetParent(IDispatch* p);
    void SetSibling(IDispatch* p);
    void AddChild(IDispatch* child);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;
    // ITestItem
    HRESULT STDMETHODCALLTYPE get_value(BSTR* out) override;
    HRESULT STDMETHODCALLTYPE put_value(BSTR in) override;
    HRESULT STDMETHODCALLTYPE get_innerText(BSTR* out) override;
    HRESULT STDMETHODCALLTYPE get_length(LONG* out) override;
    HRESULT STDMETHODCALLTYPE get_checked(VARIANT_BOOL* out) override;
    HRESULT STDMETHODCALLTYPE get_parent(ITestItem** out) override;
    HRESULT STDMETHODCALLTYPE get_owner(IDispatch** out) override;
    HRESULT STDMETHODCALLTYPE putref_owner(IDispatch* in) override;
    HRESULT STDMETHODCALLTYPE click() override;
    HRESULT STDMETHODCALLTYPE describe(BSTR prefix, BSTR* description) override;
    HRESULT STDMETHODCALLTYPE wrap(BSTR* text) override;
    HRESULT STDMETHODCALLTYPE pick(VARIANT first, VARIANT second, BSTR* result) override;
    HRESULT STDMETHODCALLTYPE join(BSTR separator, SAFEARRAY* parts) override;
    HRESULT STDMETHODCALLTYPE item(VARIANT index, ITestItem** result) override;
    HRESULT STDMETHODCALLTYPE nameOf(ITestItem* other, BSTR* name) override;
    HRESULT STDMETHODCALLTYPE sibling(IDispatch** result) override;
    HRESULT STDMETHODCALLTYPE raise() override;
    HRESULT STDMETHODCALLTYPE get_when(DATE* out) override;

  private:
    const TestTypes& types_;
};

// A record-like object of the dispatch interface DTestRecord, whose members are variables; its
// Invoke is written by hand and checks what it is given as a strict server would. With
// `noTypeInfo` it gives no type information.
class TestRecord final : public IDispatch, public CountedObject {
  public:
    explicit TestRecord(const TestTypes& types) : types_(types) {}
    ~TestRecord() override;

    std::wstring name;
    double size = 0;
    IDispatch* link = nullptr;  // owned
    bool noTypeInfo = false;

    void Unlink();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

  private:
    const TestTypes& types_;
};

// An object that is no automation object at all.
class PlainUnknown final : public IUnknown, public CountedObject {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
};

// The methods that an object described by CreateDispTypeInfo exposes, in vtable order.
class PlainMethods {
  public:
    virtual BSTR STDMETHODCALLTYPE title();
    virtual HRESULT STDMETHODCALLTYPE setTitle(BSTR title);
    virtual LONG STDMETHODCALLTYPE count();
    virtual HRESULT STDMETHODCALLTYPE ping();

    std::wstring titleText;
    LONG countValue = 0;
    int pings = 0;

  protected:
    ~PlainMethods() = default;
};

// An object made the way simple automation servers make one: type information from
// CreateDispTypeInfo (a class with one interface) and IDispatch from CreateStdDispatch. The
// dispatch object is made over the class's interface (so that the system's DispInvoke finds the
// methods) and, as a second object, over the class itself.
class StdDispatchObject final : public PlainMethods {
  public:
    StdDispatchObject();
    ~StdDispatchObject();
    StdDispatchObject(const StdDispatchObject&) = delete;
    StdDispatchObject& operator=(const StdDispatchObject&) = delete;

    IUnknown* overInterface() const { return overInterface_; }
    IUnknown* overClass() const { return overClass_; }
    ITypeInfo* classInfo() const { return classInfo_; }

  private:
    ITypeInfo* classInfo_ = nullptr;
    ITypeInfo* interfaceInfo_ = nullptr;
    IUnknown* overInterface_ = nullptr;
    IUnknown* overClass_ = nullptr;
};

}  // namespace rh::test
