#include "standin/upstream.h"

#include <winhttp.h>

#include <memory>
#include <thread>

#include "standin/call_log.h"
#include "standin/document.h"
#include "standin/url.h"

namespace standin {
namespace {

constexpr std::size_t kMaxBody = 16u << 20;  // as for a page file
constexpr int kMaxRedirects = 5;

volatile LONG g_runningFetches = 0;

bool IsDigits(std::wstring_view text) {
    if (text.empty()) {
        return false;
    }
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
    }
    return true;
}

// A decimal number from 0 to `limit`, without sign or leading zeros; -1 otherwise.
long SmallNumber(std::wstring_view text, long limit) {
    if (!IsDigits(text) || text.size() > 5 || (text.size() > 1 && text[0] == L'0')) {
        return -1;
    }
    long value = 0;
    for (wchar_t c : text) {
        value = value * 10 + (c - L'0');
    }
    return value <= limit ? value : -1;
}

std::wstring_view Trimmed(std::wstring_view text) {
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// "host=address:port" into an upstream; false when it is not one this stand-in may use.
bool ParseEntry(std::wstring_view entry, Upstream& upstream) {
    const std::size_t equals = entry.find(L'=');
    if (equals == std::wstring_view::npos) {
        return false;
    }
    const std::wstring host = LowerAscii(Trimmed(entry.substr(0, equals)));
    std::wstring_view target = Trimmed(entry.substr(equals + 1));
    const std::size_t colon = target.rfind(L':');
    if (host.empty() || host.find_first_of(L":/@[]") != std::wstring::npos ||
        colon == std::wstring_view::npos) {
        return false;
    }
    std::wstring_view address = target.substr(0, colon);
    if (address.size() >= 2 && address.front() == L'[' && address.back() == L']') {
        address = address.substr(1, address.size() - 2);
    } else if (address.find(L':') != std::wstring_view::npos) {
        return false;  // an IPv6 address is written in brackets
    }
    const long port = SmallNumber(target.substr(colon + 1), 65535);
    if (port <= 0 || !IsLoopbackAddress(address)) {
        return false;
    }
    upstream.host = host;
    upstream.address.assign(address);
    upstream.port = static_cast<unsigned short>(port);
    return true;
}

// A handle of the platform's HTTP client, closed when it goes.
struct HttpHandle {
    HINTERNET handle = nullptr;
    explicit HttpHandle(HINTERNET h) : handle(h) {}
    ~HttpHandle() {
        if (handle) {
            WinHttpCloseHandle(handle);
        }
    }
    HttpHandle(const HttpHandle&) = delete;
    HttpHandle& operator=(const HttpHandle&) = delete;
    explicit operator bool() const { return handle != nullptr; }
};

std::wstring QueryHeader(HINTERNET request, DWORD which) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return {};
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    value.resize(size / sizeof(wchar_t));
    return value;
}

// One GET without following redirects. False when the server could not be reached or the
// answer could not be read whole.
bool GetOnce(HINTERNET session, const Upstream& upstream, const std::wstring& url, DWORD& status,
             std::string& body, std::wstring& location, std::wstring& headers) {
    HttpHandle connection(WinHttpConnect(session, upstream.address.c_str(), upstream.port, 0));
    if (!connection) {
        return false;
    }
    UrlParts parts = SplitUrl(url);
    std::wstring object = parts.path.empty() ? L"/" : parts.path;
    if (parts.hasQuery) {
        object += L"?" + parts.query;
    }
    HttpHandle request(WinHttpOpenRequest(connection.handle, L"GET", object.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request) {
        return false;
    }
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.handle, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects,
                     sizeof(noRedirects));
    if (!WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.handle, nullptr)) {
        return false;
    }
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    location = QueryHeader(request.handle, WINHTTP_QUERY_LOCATION);
    headers = QueryHeader(request.handle, WINHTTP_QUERY_RAW_HEADERS_CRLF);
    body.clear();
    for (;;) {
        char chunk[16384];
        DWORD read = 0;
        if (!WinHttpReadData(request.handle, chunk, sizeof(chunk), &read)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        if (body.size() + read > kMaxBody) {
            return false;
        }
        body.append(chunk, read);
    }
}

}  // namespace

bool IsLoopbackAddress(std::wstring_view address) {
    if (address == L"::1") {
        return true;
    }
    // Four decimal parts and nothing after them, the first 127.
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = address.find(L'.');
        const long value = SmallNumber(address.substr(0, dot), 255);
        if (value < 0 || (part == 0 && value != 127) ||
            (dot == std::wstring_view::npos) != (part == 3)) {
            return false;
        }
        address.remove_prefix(part == 3 ? address.size() : dot + 1);
    }
    return true;
}

UpstreamTable ParseUpstreams(std::wstring_view text) {
    UpstreamTable table;
    while (!text.empty()) {
        const std::size_t comma = text.find(L',');
        const std::wstring_view entry = Trimmed(text.substr(0, comma));
        text = comma == std::wstring_view::npos ? std::wstring_view() : text.substr(comma + 1);
        if (entry.empty()) {
            continue;
        }
        Upstream upstream;
        if (ParseEntry(entry, upstream)) {
            table.accepted.push_back(std::move(upstream));
        } else {
            table.refused.emplace_back(entry);
        }
    }
    return table;
}

std::optional<Upstream> UpstreamFor(std::wstring_view url) {
    const std::wstring setting = EnvironmentValue(L"REELHAWK_STANDIN_UPSTREAM");
    if (setting.empty()) {
        return std::nullopt;
    }
    const UrlParts parts = SplitUrl(url);
    if ((parts.scheme != L"http" && parts.scheme != L"https") || !parts.hasAuthority) {
        return std::nullopt;
    }
    const std::wstring host = HostOf(parts.authority);
    const UpstreamTable table = ParseUpstreams(setting);
    for (const Upstream& upstream : table.accepted) {
        if (upstream.host == host) {
            return upstream;
        }
    }
    for (const std::wstring& entry : table.refused) {
        const std::size_t equals = entry.find(L'=');
        if (equals != std::wstring::npos && LowerAscii(Trimmed(entry.substr(0, equals))) == host) {
            LogLine(L"UpstreamRefused " + LogEscape(entry) +
                    L" (only a loopback address and port are taken)");
        }
    }
    return std::nullopt;
}

std::wstring UpstreamAddress(const Upstream& upstream, std::wstring_view url) {
    UrlParts parts = SplitUrl(url);
    parts.scheme = L"http";
    parts.hasAuthority = true;
    const bool v6 = upstream.address.find(L':') != std::wstring::npos;
    parts.authority = (v6 ? L"[" + upstream.address + L"]" : upstream.address) + L":" +
                      std::to_wstring(upstream.port);
    if (parts.path.empty()) {
        parts.path = L"/";
    }
    parts.hasFragment = false;
    parts.fragment.clear();
    return JoinUrl(parts);
}

UpstreamAnswer FetchFromUpstream(const Upstream& upstream, std::wstring url) {
    UpstreamAnswer answer;
    // Never a proxy: the server is on this machine.
    HttpHandle session(WinHttpOpen(L"Reelhawk stand-in", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return answer;
    }
    // Connecting on loopback is at once or never; a resolver may take its time to answer.
    WinHttpSetTimeouts(session.handle, 5000, 5000, 10000, 120000);
    for (int redirects = 0; redirects <= kMaxRedirects; ++redirects) {
        DWORD status = 0;
        std::string body;
        std::wstring location;
        std::wstring headers;
        if (!GetOnce(session.handle, upstream, url, status, body, location, headers)) {
            LogLine(L"UpstreamFailed " + LogEscape(url) + L" " +
                    LogEscape(UpstreamAddress(upstream, url)));
            return answer;
        }
        LogLine(L"Upstream " + LogEscape(url) + L" " + LogEscape(UpstreamAddress(upstream, url)) +
                L" " + std::to_wstring(status));
        if (status >= 300 && status < 400 && !location.empty()) {
            const std::wstring next = ResolveUrl(url, location);
            const UrlParts nextParts = SplitUrl(next);
            if ((nextParts.scheme == L"http" || nextParts.scheme == L"https") &&
                HostOf(nextParts.authority) == upstream.host) {
                url = next;
                continue;
            }
            LogLine(L"UpstreamRefused redirect to " + LogEscape(next) +
                    L" (it leaves the host's server)");
            return answer;
        }
        answer.reached = true;
        answer.status = status;
        answer.body = std::move(body);
        answer.url = url;
        answer.headers = std::move(headers);
        return answer;
    }
    LogLine(L"UpstreamFailed " + LogEscape(url) + L" (too many redirects)");
    return answer;
}

long RunningUpstreamFetches() {
    return g_runningFetches;
}

void RunUpstreamFetch(const Upstream& upstream, std::wstring url,
                      std::function<void(UpstreamAnswer)> done) {
    InterlockedIncrement(&g_runningFetches);
    try {
        std::thread([upstream, url = std::move(url), done] {
            done(FetchFromUpstream(upstream, url));
            InterlockedDecrement(&g_runningFetches);
        }).detach();
    } catch (...) {  // no thread: the page does not come
        InterlockedDecrement(&g_runningFetches);
        done(UpstreamAnswer());
    }
}

void StartUpstreamFetch(const Upstream& upstream, std::wstring url, HWND window, UINT message,
                        WPARAM serial, std::shared_ptr<UpstreamAnswer> answer) {
    RunUpstreamFetch(upstream, std::move(url),
                     [window, message, serial, answer](UpstreamAnswer got) {
                         *answer = std::move(got);
                         PostMessageW(window, message, serial, 0);
                     });
}

}  // namespace standin
