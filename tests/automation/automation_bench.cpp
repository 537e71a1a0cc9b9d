// How long member calls by name take. Every call binds the name afresh through the type
// information; this prints the cost per call next to a plain IDispatch::Invoke of a known member
// id, so the price of binding by name is visible. It checks the calls' results, not their speed.
#include <windows.h>
#include <oaidl.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/automation.h"
#include "test_objects.h"

namespace {

double Seconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <class Call>
bool Measure(const char* name, int count, Call call) {
    bool ok = true;
    const double start = Seconds();
    for (int i = 0; i < count; ++i) {
        ok = call() && ok;
    }
    const double elapsed = Seconds() - start;
    std::printf("%-44s %8d calls  %9.2f us/call  %10.0f calls/s\n", name, count,
                elapsed * 1e6 / count, count / elapsed);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (FAILED(CoInitialize(nullptr))) {
        return 2;
    }
    bool ok = true;
    {
        rh::test::TestTypes types;
        if (!types.ok()) {
            std::printf("automation_test.tlb did not load\n");
            return 2;
        }
        rh::test::TestItem item(types);
        rh::test::TestItem child(types);
        item.recording = false;
        child.recording = false;
        item.value = L"\u89c6\u9891\u5730\u5740 http://media.reelhawk.test/v/part1.flv";
        item.length = 3;
        item.AddChild(static_cast<ITestItem*>(&child));
        const rh::ComObject object = rh::ComObject::Share(static_cast<ITestItem*>(&item));
        const rh::Text expected = rh::ReadTextProperty(object, "value");

        ok = Measure("ReadTextProperty(\"value\")", count,
                     [&] { return rh::ReadTextProperty(object, "value") == expected; }) &&
             ok;
        ok = Measure("ReadNumberProperty(\"length\")", count,
                     [&] { return rh::ReadNumberProperty(object, "length") == 3.0; }) &&
             ok;
        ok = Measure("CallObjectMethod(\"item\", 0.0)", count,
                     [&] { return !rh::CallObjectMethod(object, "item", 0.0).IsEmpty(); }) &&
             ok;
        rh::Text text = "http://resolver.reelhawk.test/";
        ok = Measure("WriteProperty(\"value\", ByRef(text))", count,
                     [&] { return rh::WriteProperty(object, "value", rh::ByRef(text)); }) &&
             ok;
        ok = Measure("CallMethod(\"click\")", count,
                     [&] {
                         rh::CallMethod(object, "click");
                         return rh::LastAutomationError() == 0;
                     }) &&
             ok;
        ok = Measure("ReadTextProperty(\"missing\") (fails: -3)", count,
                     [&] {
                         return rh::ReadTextProperty(object, "missing").empty() &&
                                rh::LastAutomationError() == rh::kAutomationNameNotFound;
                     }) &&
             ok;

        // The same read without binding: IDispatch::Invoke of the known member id.
        IDispatch* dispatch = static_cast<ITestItem*>(&item);
        ok = Measure("IDispatch::Invoke(id 1) (no binding)", count,
                     [&] {
                         DISPPARAMS none{};
                         VARIANT result;
                         VariantInit(&result);
                         const HRESULT hr = dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT,
                                                             DISPATCH_PROPERTYGET, &none, &result,
                                                             nullptr, nullptr);
                         VariantClear(&result);
                         return SUCCEEDED(hr);
                     }) &&
             ok;
        item.Unlink();
    }
    CoUninitialize();
    std::printf("%s\n", ok ? "all calls gave their expected results" : "SOME CALLS FAILED");
    return ok ? 0 : 1;
}
