// The manifest reelhawk.exe carries: read back from the file as XML, read as Windows reads it (an
// activation context made from it), and in effect in the running program.
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "tests/app/test_support.h"

namespace rh {
namespace {

constexpr const wchar_t* kSettings2005 = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
constexpr const wchar_t* kSettings2016 = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
constexpr const wchar_t* kSettings2019 = L"http://schemas.microsoft.com/SMI/2019/WindowsSettings";

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(),
                                      static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n) - 1 : 0);
    return wide;
}

std::wstring ReelhawkExe() {
    return Wide(test::WindowsPath(REELHAWK_EXE));
}

// Resource 1 of type RT_MANIFEST, as bytes; empty when the file has none.
std::string ManifestOf(const std::wstring& exe) {
    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image == nullptr) {
        return {};
    }
    std::string bytes;
    if (HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        const auto* data = static_cast<const char*>(LockResource(LoadResource(image, found)));
        bytes.assign(data, SizeofResource(image, found));
    }
    FreeLibrary(image);
    return bytes;
}

// Whether MSXML, which takes only well-formed XML, takes the text.
bool IsWellFormedXml(const std::wstring& xml) {
    CLSID documentClass{};
    IDispatch* document = nullptr;
    if (FAILED(CLSIDFromProgID(L"Msxml2.DOMDocument.3.0", &documentClass)) ||
        FAILED(CoCreateInstance(documentClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&document)))) {
        ADD_FAILURE() << "no XML parser";
        return false;
    }
    DISPID loadXml = 0;
    auto* name = const_cast<LPOLESTR>(L"loadXML");
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(xml.c_str());
    VARIANT loaded;
    VariantInit(&loaded);
    DISPPARAMS arguments{&text, nullptr, 1, 0};
    const bool parsed =
        SUCCEEDED(document->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &loadXml)) &&
        SUCCEEDED(document->Invoke(loadXml, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                   &arguments, &loaded, nullptr, nullptr)) &&
        loaded.vt == VT_BOOL && loaded.boolVal == VARIANT_TRUE;
    VariantClear(&loaded);
    VariantClear(&text);
    document->Release();
    return parsed;
}

// A setting of the manifest's windowsSettings as Windows reads it; nullopt when it is not there.
std::optional<std::wstring> Setting(HANDLE context, const wchar_t* space, const wchar_t* name) {
    wchar_t value[128] = {};
    SIZE_T written = 0;
    if (!QueryActCtxSettingsW(0, context, space, name, value, std::size(value), &written)) {
        return std::nullopt;
    }
    return std::wstring(value);
}

// The answer to CompatibilityInformationInActivationContext as Windows 10 and Wine give it: each
// element ends with the highest version tested (the older headers here lack that field).
struct CompatibilityElement {
    GUID Id;
    ACTCTX_COMPATIBILITY_ELEMENT_TYPE Type;
    ULONGLONG MaxVersionTested;
};
struct CompatibilityInformation {
    DWORD ElementCount;
    CompatibilityElement Elements[16];
};

std::wstring GuidText(const GUID& id) {
    wchar_t text[40] = {};
    StringFromGUID2(id, text, static_cast<int>(std::size(text)));
    return text;
}

// Whether a module path lies in the side-by-side folder of Common Controls 6 (Wine's copy of
// comctl32 there has the same file version as the one in system32, so the folder tells).
bool IsCommonControls6(std::wstring path) {
    std::transform(path.begin(), path.end(), path.begin(), towlower);
    return path.find(L"\\winsxs\\") != std::wstring::npos &&
           path.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6.") !=
               std::wstring::npos;
}

// Where a process loaded comctl32.dll from; empty when it has not loaded it.
std::wstring CommonControlsOf(DWORD processId) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::wstring found;
    MODULEENTRY32W module{};
    module.dwSize = sizeof(module);
    for (BOOL more = Module32FirstW(snapshot, &module); more;
         more = Module32NextW(snapshot, &module)) {
        if (lstrcmpiW(module.szModule, L"comctl32.dll") == 0) {
            found = module.szExePath;
        }
    }
    CloseHandle(snapshot);
    return found;
}

TEST(ReelhawkExe, ManifestIsWellFormedAndDeclaresSystemsControlsRightsAndScale) {
    const std::string manifest = ManifestOf(ReelhawkExe());
    ASSERT_FALSE(manifest.empty()) << "reelhawk.exe carries no manifest (RT_MANIFEST 1)";
    EXPECT_TRUE(IsWellFormedXml(Wide(manifest))) << manifest;  // COM is up for every window test
    EXPECT_FALSE(IsWellFormedXml(L"<assembly><a></assembly>"));
    // The program's texts stay GBK: no UTF-8 code page anywhere.
    EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);

    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    const std::wstring exe = ReelhawkExe();
    request.lpSource = exe.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "Windows refuses the manifest: " << GetLastError();

    EXPECT_EQ(Setting(context, kSettings2016, L"dpiAwareness"), L"PerMonitorV2, System");
    EXPECT_EQ(Setting(context, kSettings2005, L"dpiAware"), L"true");
    EXPECT_EQ(Setting(context, kSettings2019, L"activeCodePage"), std::nullopt);

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level{};
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level,
                             sizeof(level), nullptr));
    EXPECT_EQ(level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(level.UiAccess, 0u);

    // Windows 7, 8, 8.1 and 10 (which 11 shares).
    CompatibilityInformation compatibility{};
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext,
                             &compatibility, sizeof(compatibility), nullptr));
    ASSERT_LE(compatibility.ElementCount, std::size(compatibility.Elements));
    std::vector<std::wstring> systems;
    for (DWORD i = 0; i < compatibility.ElementCount; ++i) {
        EXPECT_EQ(compatibility.Elements[i].Type, ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS);
        systems.push_back(GuidText(compatibility.Elements[i].Id));
    }
    std::sort(systems.begin(), systems.end());
    EXPECT_EQ(systems, (std::vector<std::wstring>{L"{1F676C76-80E1-4239-95BB-83D0F6D0DA78}",
                                                  L"{35138B9A-5D96-4FBD-8E2D-A2440225F93A}",
                                                  L"{4A2F28E3-53B9-4441-BA9C-D69D4A4A6E38}",
                                                  L"{8E0F7A12-BFB3-4FE8-B9A5-48FD50A15A9A}"}));

    // Under this context comctl32 is Common Controls 6, and a button made there is its button,
    // which answers a message that only version 6 knows.
    ULONG_PTR cookie = 0;
    ASSERT_TRUE(ActivateActCtx(context, &cookie));
    HMODULE controls = LoadLibraryW(L"comctl32.dll");
    HWND button = CreateWindowExW(0, L"Button", L"x", WS_POPUP | BS_DEFPUSHBUTTON, 0, 0, 80, 24,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    DeactivateActCtx(0, cookie);
    ASSERT_NE(controls, nullptr);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(controls, path, MAX_PATH);
    EXPECT_TRUE(IsCommonControls6(path)) << path;
    ASSERT_NE(button, nullptr);
    SIZE ideal{};
    EXPECT_TRUE(SendMessageW(button, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal)));
    EXPECT_GT(ideal.cx, 0);
    DestroyWindow(button);
    FreeLibrary(controls);
    ReleaseActCtx(context);
}

TEST(ReelhawkExe, RunsWithCommonControls6FromItsManifest) {
    test::ChildProcess program("\"" + test::WindowsPath(REELHAWK_EXE) + "\"");
    ASSERT_TRUE(program.Started());
    HWND window = program.WaitForWindow("ReelhawkWindow", "Reelhawk 1.0");
    ASSERT_NE(window, nullptr);
    // The program's own module list: the comctl32 the loader gave it is Common Controls 6, as
    // the activation context from its manifest redirects it.
    const std::wstring controls = CommonControlsOf(program.Id());
    ASSERT_FALSE(controls.empty()) << "reelhawk.exe has not loaded comctl32";
    EXPECT_TRUE(IsCommonControls6(controls)) << controls;
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(program.Wait(), 0u);
}

}  // namespace
}  // namespace rh
