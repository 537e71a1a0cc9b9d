#include "standin/url.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "standin/document.h"

namespace standin {
namespace {

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}
bool IsAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool IsSpecialScheme(std::wstring_view scheme) {
    return scheme == L"http" || scheme == L"https" || scheme == L"file";
}

// "C:\dir", "C:/dir", "\\server\share": paths, not addresses.
bool IsWindowsPath(std::wstring_view s) {
    if (s.size() >= 3 && IsAsciiLetter(s[0]) && s[1] == L':' && (s[2] == L'\\' || s[2] == L'/')) {
        return true;
    }
    return s.size() >= 2 && s[0] == L'\\' && s[1] == L'\\';
}

std::wstring RemoveDotSegments(std::wstring_view path) {
    std::vector<std::wstring_view> out;
    bool absolute = !path.empty() && path[0] == L'/';
    size_t start = absolute ? 1 : 0;
    bool trailingSlash = false;
    while (start <= path.size()) {
        size_t end = path.find(L'/', start);
        std::wstring_view segment = path.substr(
            start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start);
        bool last = end == std::wstring_view::npos;
        if (segment == L".") {
            trailingSlash = last;
        } else if (segment == L"..") {
            if (!out.empty()) {
                out.pop_back();
            }
            trailingSlash = last;
        } else {
            out.push_back(segment);
            trailingSlash = false;
        }
        if (last) {
            break;
        }
        start = end + 1;
    }
    std::wstring result = absolute ? L"/" : L"";
    for (size_t i = 0; i < out.size(); ++i) {
        if (i > 0) {
            result += L'/';
        }
        result += out[i];
    }
    if (trailingSlash && !result.empty() && result.back() != L'/') {
        result += L'/';
    }
    return result;
}

std::wstring MergePaths(const UrlParts& base, std::wstring_view reference) {
    if (base.hasAuthority && base.path.empty()) {
        return L"/" + std::wstring(reference);
    }
    size_t slash = base.path.rfind(L'/');
    if (slash == std::wstring::npos) {
        return std::wstring(reference);
    }
    return base.path.substr(0, slash + 1) + std::wstring(reference);
}

}  // namespace

UrlParts SplitUrl(std::wstring_view url) {
    UrlParts parts;
    // scheme: a letter, then letters, digits, '+', '-', '.'; a single letter is a drive, not a
    // scheme
    size_t colon = url.find(L':');
    if (colon != std::wstring_view::npos && colon >= 2 && IsAsciiLetter(url[0])) {
        bool valid = true;
        for (size_t i = 1; i < colon; ++i) {
            wchar_t c = url[i];
            if (!(IsAsciiLetter(c) || IsAsciiDigit(c) || c == L'+' || c == L'-' || c == L'.')) {
                valid = false;
                break;
            }
        }
        if (valid) {
            parts.scheme = LowerAscii(url.substr(0, colon));
            url.remove_prefix(colon + 1);
        }
    }
    std::wstring normalized;
    if (IsSpecialScheme(parts.scheme) || parts.scheme.empty()) {
        // Browsers read backslashes in web addresses as slashes.
        size_t hash = url.find(L'#');
        size_t query = url.find(L'?');
        size_t stop = std::min(hash, query);
        normalized.assign(url);
        for (size_t i = 0; i < normalized.size() && i < stop; ++i) {
            if (normalized[i] == L'\\') {
                normalized[i] = L'/';
            }
        }
        url = normalized;
    }
    size_t hash = url.find(L'#');
    if (hash != std::wstring_view::npos) {
        parts.hasFragment = true;
        parts.fragment.assign(url.substr(hash + 1));
        url = url.substr(0, hash);
    }
    size_t question = url.find(L'?');
    if (question != std::wstring_view::npos) {
        parts.hasQuery = true;
        parts.query.assign(url.substr(question + 1));
        url = url.substr(0, question);
    }
    if (url.size() >= 2 && url[0] == L'/' && url[1] == L'/') {
        parts.hasAuthority = true;
        size_t slash = url.find(L'/', 2);
        parts.authority.assign(url.substr(2, slash == std::wstring_view::npos ? slash : slash - 2));
        url = slash == std::wstring_view::npos ? std::wstring_view() : url.substr(slash);
    }
    parts.path.assign(url);
    return parts;
}

std::wstring JoinUrl(const UrlParts& parts) {
    std::wstring url;
    if (!parts.scheme.empty()) {
        url += parts.scheme + L":";
    }
    if (parts.hasAuthority) {
        url += L"//" + parts.authority;
    }
    url += parts.path;
    if (parts.hasQuery) {
        url += L"?" + parts.query;
    }
    if (parts.hasFragment) {
        url += L"#" + parts.fragment;
    }
    return url;
}

std::wstring ResolveUrl(std::wstring_view base, std::wstring_view reference) {
    // Leading and trailing spaces of an attribute value are not part of the address.
    while (!reference.empty() && (reference.front() == L' ' || reference.front() == L'\t' ||
                                  reference.front() == L'\n' || reference.front() == L'\r')) {
        reference.remove_prefix(1);
    }
    while (!reference.empty() && (reference.back() == L' ' || reference.back() == L'\t' ||
                                  reference.back() == L'\n' || reference.back() == L'\r')) {
        reference.remove_suffix(1);
    }
    UrlParts ref = SplitUrl(reference);
    UrlParts b = SplitUrl(base);
    UrlParts target;
    if (!ref.scheme.empty()) {
        target = ref;
        target.path = RemoveDotSegments(ref.path);
        if (target.scheme == L"http" || target.scheme == L"https") {
            target.authority = LowerAscii(target.authority);
            if (target.path.empty()) {
                target.path = L"/";
            }
        }
        return JoinUrl(target);
    }
    target.scheme = b.scheme;
    if (ref.hasAuthority) {
        target.hasAuthority = true;
        target.authority = ref.authority;
        target.path = RemoveDotSegments(ref.path);
        target.hasQuery = ref.hasQuery;
        target.query = ref.query;
    } else {
        target.hasAuthority = b.hasAuthority;
        target.authority = b.authority;
        if (ref.path.empty()) {
            target.path = b.path;
            target.hasQuery = ref.hasQuery || b.hasQuery;
            target.query = ref.hasQuery ? ref.query : b.query;
        } else {
            target.path =
                RemoveDotSegments(ref.path[0] == L'/' ? ref.path : MergePaths(b, ref.path));
            target.hasQuery = ref.hasQuery;
            target.query = ref.query;
        }
    }
    target.hasFragment = ref.hasFragment;
    target.fragment = ref.fragment;
    if (target.hasAuthority && target.path.empty() && IsSpecialScheme(target.scheme)) {
        target.path = L"/";
    }
    return JoinUrl(target);
}

std::wstring NormalizeAddress(std::wstring_view address) {
    while (!address.empty() && (address.front() == L' ' || address.front() == L'\t')) {
        address.remove_prefix(1);
    }
    while (!address.empty() && (address.back() == L' ' || address.back() == L'\t')) {
        address.remove_suffix(1);
    }
    if (IsWindowsPath(address) || (!address.empty() && address[0] == L'/')) {
        std::wstring path(address);
        for (wchar_t& c : path) {
            if (c == L'\\') {
                c = L'/';
            }
        }
        std::wstring url = L"file://";
        if (path.size() >= 2 && path[0] == L'/' && path[1] == L'/') {
            url += path.substr(2);  // \\server\share
        } else {
            if (path[0] != L'/') {
                url += L'/';
            }
            for (wchar_t c : path) {
                if (c == L' ') {
                    url += L"%20";
                } else {
                    url += c;
                }
            }
        }
        return url;
    }
    UrlParts parts = SplitUrl(address);
    if (parts.scheme.empty()) {
        // A bare host name, as typed into an address bar.
        parts = SplitUrl(L"http://" + std::wstring(address));
    }
    if (parts.scheme == L"http" || parts.scheme == L"https") {
        parts.authority = LowerAscii(parts.authority);
        parts.path = RemoveDotSegments(parts.path.empty() ? L"/" : parts.path);
        if (parts.path.empty()) {
            parts.path = L"/";
        }
    }
    return JoinUrl(parts);
}

std::wstring FormEncode(std::wstring_view text) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::string bytes = WideToUtf8(text);
    std::wstring out;
    for (unsigned char c : bytes) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '*' || c == '-' || c == '.' || c == '_') {
            out += static_cast<wchar_t>(c);
        } else if (c == ' ') {
            out += L'+';
        } else {
            out += L'%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::wstring PercentDecode(std::wstring_view text) {
    std::string bytes = WideToUtf8(text);
    std::string out;
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 2 < bytes.size() && hexValue(bytes[i + 1]) >= 0 &&
            hexValue(bytes[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(bytes[i + 1]) * 16 + hexValue(bytes[i + 2]));
            i += 2;
        } else {
            out += bytes[i];
        }
    }
    return Utf8ToWide(out);
}

std::wstring HostPathToWindows(std::wstring_view path) {
    if (!path.empty() && path[0] == L'/') {
        // Under Wine, ask it which drive shows this Unix path; elsewhere it has no meaning.
        using ToDos = WCHAR* (*)(LPCSTR);
        auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
        if (toDos) {
            std::string unixPath = WideToUtf8(path);
            if (WCHAR* dos = toDos(unixPath.c_str())) {
                std::wstring result(dos);
                HeapFree(GetProcessHeap(), 0, dos);
                return result;
            }
        }
        std::wstring result = L"Z:" + std::wstring(path);
        for (wchar_t& c : result) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        return result;
    }
    std::wstring result(path);
    for (wchar_t& c : result) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return result;
}

bool AddressToFile(std::wstring_view address, std::wstring_view webRoot, std::wstring& file) {
    UrlParts parts = SplitUrl(NormalizeAddress(address));
    if (parts.scheme == L"file") {
        std::wstring path = PercentDecode(parts.path);
        std::wstring host = LowerAscii(parts.authority);
        if (!host.empty() && host != L"localhost") {
            file = L"\\\\" + parts.authority + HostPathToWindows(L"x" + path).substr(1);
            return true;
        }
        if (path.size() >= 3 && path[0] == L'/' && IsAsciiLetter(path[1]) && path[2] == L':') {
            file = HostPathToWindows(std::wstring_view(path).substr(1));
        } else {
            file = HostPathToWindows(path);
        }
        return !file.empty();
    }
    if (parts.scheme != L"http" && parts.scheme != L"https") {
        return false;
    }
    std::wstring host = HostOf(parts.authority);
    if (host.empty() || host == L"." || host == L"..") {
        return false;
    }
    for (wchar_t c : host) {
        if (!(IsAsciiLetter(c) || IsAsciiDigit(c) || c == L'.' || c == L'-' || c == L'_')) {
            return false;
        }
    }
    std::wstring root(webRoot);
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) {
        root.pop_back();
    }
    if (root.empty()) {
        return false;
    }
    std::wstring result = HostPathToWindows(root) + L"\\" + host;
    std::wstring_view path = parts.path;
    if (path.empty()) {
        path = L"/";
    }
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find(L'/', start);
        bool last = end == std::wstring_view::npos;
        std::wstring segment = PercentDecode(path.substr(start, last ? path.npos : end - start));
        if (last && segment.empty()) {
            segment = L"index.html";
        }
        // Each piece must stay a plain name inside its folder.
        if (segment.empty() || segment == L"." || segment == L".." ||
            segment.find_first_of(std::wstring_view(L"/\\:\0", 4)) != std::wstring::npos) {
            if (!last && segment.empty()) {  // "a//b": an empty piece names nothing
                start = end + 1;
                continue;
            }
            return false;
        }
        result += L"\\" + segment;
        if (last) {
            break;
        }
        start = end + 1;
    }
    file = result;
    return true;
}

bool ReadPageFile(const std::wstring& path, std::string& bytes) {
    constexpr LONGLONG kMaxPageBytes = 16 * 1024 * 1024;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kMaxPageBytes;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() ||
             (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
              read == bytes.size());
    }
    CloseHandle(file);
    return ok;
}

std::wstring HostOf(std::wstring_view authority) {
    size_t at = authority.rfind(L'@');
    if (at != std::wstring_view::npos) {
        authority.remove_prefix(at + 1);
    }
    size_t colon = authority.rfind(L':');
    if (colon != std::wstring_view::npos && authority.find(L']') == std::wstring_view::npos) {
        authority = authority.substr(0, colon);
    }
    return LowerAscii(authority);
}

std::wstring EnvironmentValue(const wchar_t* name) {
    DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
    if (length == 0) {
        return {};
    }
    std::wstring value(length, L'\0');
    length = GetEnvironmentVariableW(name, value.data(), length);
    value.resize(length);
    return value;
}

}  // namespace standin
