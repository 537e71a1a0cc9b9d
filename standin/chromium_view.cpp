#include <windows.h>
#include <oleauto.h>

#include "standin/call_log.h"
#include "standin/chromium.h"
#include "standin/document.h"
#include "standin/upstream.h"
#include "standin/url.h"

namespace standin {
namespace {

// Whether Chromium will be served this page: it is in the web folder (a folder by its index).
bool Servable(const std::wstring& url) {
    if (UpstreamFor(url)) {
        return true;  // a live server's page (whether it is there, the server says)
    }
    UrlParts parts = SplitUrl(url);
    std::wstring file;
    if ((parts.scheme != L"http" && parts.scheme != L"https") ||
        !AddressToFile(url, EnvironmentValue(L"REELHAWK_STANDIN_WEBROOT"), file)) {
        return false;
    }
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        attributes = GetFileAttributesW((file + L"\\index.html").c_str());
    }
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A file: address as Chromium, a Linux program, reaches the same file: through Wine's mapping of
// drives to folders. Empty when the file is not there or Wine cannot say where it lives.
std::wstring LinuxFileAddress(const std::wstring& url) {
    std::wstring file;
    if (!AddressToFile(url, L"", file)) {
        return {};
    }
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }
    using UnixName = char*(__cdecl*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(file.c_str()) : nullptr;
    if (!name) {
        return {};
    }
    std::wstring path = Utf8ToWide(name);
    HeapFree(GetProcessHeap(), 0, name);
    return L"file://" + path;
}

// A text property of the document, or empty.
std::wstring DocumentText(IDispatch* document, const wchar_t* name) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    std::wstring text;
    if (SUCCEEDED(document->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)) &&
        SUCCEEDED(document->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                   &value, nullptr, nullptr)) &&
        V_VT(&value) == VT_BSTR && V_BSTR(&value)) {
        text.assign(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
    }
    VariantClear(&value);
    return text;
}

}  // namespace

void ChromiumView::Navigate(const std::wstring& address, HWND notifyWindow) {
    std::wstring url = address;
    if (SplitUrl(url).scheme == L"file") {
        url = LinuxFileAddress(address);
    } else if (url != L"about:blank" && !Servable(url)) {
        url.clear();
    }
    if (url.empty()) {
        LogLine(L"NotFound " + LogEscape(address));
        // Told as Chromium's own refusals are, from the message loop, so the control can say so.
        notFoundUrl_ = address;
        PostMessageW(notifyWindow, loadedMessage_, kChromiumPageNotFound, 0);
        return;
    }
    if (page_ && !page_->Alive()) {
        page_.reset();  // Chromium has gone: try to reach it afresh
        document_.reset();
    }
    if (!page_) {
        // Started on first use; tried again on the next navigation when Chromium is not there.
        page_ = ChromiumPage::Open(notifyWindow, loadedMessage_);
        if (!page_) {
            return;
        }
    }
    page_->Navigate(url);
}

bool ChromiumView::OnLoaded() {
    if (!page_) {
        return false;
    }
    std::string id = page_->EvaluateDocument();
    if (id.empty()) {
        return false;
    }
    document_ = std::make_shared<RemoteHandle>(page_, id);
    url_ = page_->CommittedUrl();
    if (IDispatch* document = Document()) {
        title_ = DocumentText(document, L"title");
        document->Release();
    }
    LogLine(L"Loaded " + LogEscape(url_));
    return true;
}

void ChromiumView::Stop() {
    if (page_) {
        page_->Stop();
    }
}

IDispatch* ChromiumView::Document() const {
    // Without Chromium the control is a browser without a document.
    if (!page_ || !page_->Alive()) {
        return nullptr;
    }
    return NewChromiumDocumentObject(document_);
}

}  // namespace standin
