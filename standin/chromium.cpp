#include "standin/chromium.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "standin/call_log.h"
#include "standin/document.h"
#include "standin/upstream.h"
#include "standin/url.h"

namespace standin {
namespace {

// How long a property read or a command may hold the caller. Setting up a page starts a renderer
// in Chromium, which takes longer the first time.
constexpr DWORD kCallTimeoutMs = 2000;
constexpr DWORD kSetupTimeoutMs = 3000;

std::string Base64(std::string_view bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// A live server's head as Chromium takes it for a fulfilled request: each "Name: value" line but
// the status line and what describes the transfer rather than the page (its length and coding,
// which the fulfilled body does not keep).
Json PassedHeaders(const std::wstring& head) {
    Json headers = Json::array();
    std::wstring_view rest = head;
    bool first = true;
    while (!rest.empty()) {
        const std::size_t end = rest.find(L"\r\n");
        const std::wstring_view line = rest.substr(0, end);
        rest = end == std::wstring_view::npos ? std::wstring_view() : rest.substr(end + 2);
        const std::size_t colon = line.find(L':');
        if (first || colon == std::wstring_view::npos) {
            first = false;
            continue;
        }
        const std::wstring name = LowerAscii(std::wstring(line.substr(0, colon)));
        if (name == L"content-length" || name == L"transfer-encoding" || name == L"connection" ||
            name == L"keep-alive" || name == L"content-encoding") {
            continue;
        }
        std::wstring_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == L' ') {
            value.remove_prefix(1);
        }
        headers.push_back({{"name", WideToUtf8(std::wstring(line.substr(0, colon)))},
                           {"value", WideToUtf8(std::wstring(value))}});
    }
    return headers;
}

// No charset for pages: Chromium then decodes them as they declare, as the model's loader does.
std::string ContentType(const std::wstring& file) {
    std::wstring name = LowerAscii(file);
    auto endsWith = [&](std::wstring_view end) {
        return name.size() >= end.size() &&
               name.compare(name.size() - end.size(), end.size(), end) == 0;
    };
    if (endsWith(L".html") || endsWith(L".htm")) {
        return "text/html";
    }
    if (endsWith(L".js")) {
        return "text/javascript";
    }
    if (endsWith(L".css")) {
        return "text/css";
    }
    if (endsWith(L".png")) {
        return "image/png";
    }
    if (endsWith(L".gif")) {
        return "image/gif";
    }
    if (endsWith(L".jpg") || endsWith(L".jpeg")) {
        return "image/jpeg";
    }
    return "application/octet-stream";
}

// The one connection of this process to the relay. Pages hold it; it closes with the last.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    static std::shared_ptr<Connection> Acquire(std::wstring& why) {
        static std::mutex mutex;
        static std::weak_ptr<Connection> current;
        std::lock_guard<std::mutex> lock(mutex);
        if (auto existing = current.lock(); existing && existing->alive_) {
            return existing;
        }
        auto connection = std::shared_ptr<Connection>(new Connection());
        if (!connection->Connect(why)) {
            return nullptr;
        }
        current = connection;
        return connection;
    }

    ~Connection() {
        alive_ = false;
        if (socket_ != INVALID_SOCKET) {
            shutdown(socket_, SD_BOTH);
            closesocket(socket_);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (started_) {
            WSACleanup();
        }
    }

    std::optional<Json> Call(const std::string& session, const char* method, Json params,
                             DWORD timeoutMs) {
        auto pending = std::make_shared<Pending>();
        int id;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!alive_) {
                return std::nullopt;
            }
            id = nextId_++;
            pending_[id] = pending;
        }
        if (!Write(id, session, method, std::move(params))) {
            Forget(id);
            return std::nullopt;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        bool answered = pending->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                               [&] { return pending->answered || !alive_; });
        pending_.erase(id);
        if (!answered || !pending->answered || pending->failed) {
            return std::nullopt;
        }
        return std::move(pending->result);
    }

    // What each of a batch of commands sent together came to: Chromium need not wait for the
    // caller between them, so many small questions cost little more than one.
    enum class Answer { kResult, kError, kNone };
    std::vector<Answer> CallAll(const std::string& session, const char* method,
                                std::vector<Json> params, DWORD timeoutMs) {
        std::vector<Answer> answers(params.size(), Answer::kNone);
        std::vector<std::pair<int, std::shared_ptr<Pending>>> sent;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!alive_) {
                return answers;
            }
            for (size_t i = 0; i < params.size(); ++i) {
                sent.emplace_back(nextId_++, std::make_shared<Pending>());
                pending_[sent.back().first] = sent.back().second;
            }
        }
        for (size_t i = 0; i < sent.size(); ++i) {
            if (!Write(sent[i].first, session, method, std::move(params[i]))) {
                break;  // the rest stay unanswered
            }
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock<std::mutex> lock(mutex_);
        for (size_t i = 0; i < sent.size(); ++i) {
            Pending& pending = *sent[i].second;
            pending.done.wait_until(lock, deadline, [&] { return pending.answered || !alive_; });
            if (pending.answered) {
                answers[i] = pending.failed ? Answer::kError : Answer::kResult;
            }
            pending_.erase(sent[i].first);
        }
        return answers;
    }

    void Send(const std::string& session, const char* method, Json params) {
        int id;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!alive_) {
                return;
            }
            id = nextId_++;
        }
        Write(id, session, method, std::move(params));
    }

    bool Alive() const { return alive_; }

    void Register(const std::string& session, ChromiumPage* page) {
        std::lock_guard<std::mutex> lock(pagesMutex_);
        pages_[session] = page;
    }
    // After this returns no event reaches the page any more.
    void Unregister(const std::string& session) {
        std::lock_guard<std::mutex> lock(pagesMutex_);
        pages_.erase(session);
    }

  private:
    struct Pending {
        std::condition_variable done;
        bool answered = false;
        bool failed = false;
        Json result;
    };

    Connection() = default;

    bool Connect(std::wstring& why) {
        std::wstring address = EnvironmentValue(L"REELHAWK_STANDIN_CHROMIUM");
        size_t colon = address.rfind(L':');
        if (address.empty() || colon == std::wstring::npos) {
            why = L"REELHAWK_STANDIN_CHROMIUM names no relay (host:port)";
            return false;
        }
        std::string host = WideToUtf8(address.substr(0, colon));
        int port = _wtoi(address.c_str() + colon + 1);
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            why = L"Winsock did not start";
            return false;
        }
        started_ = true;
        sockaddr_in target = {};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<u_short>(port));
        target.sin_addr.s_addr = inet_addr(host.c_str());
        // The relay is on this machine; no other address is ever reached.
        if ((ntohl(target.sin_addr.s_addr) >> 24) != 127 || port <= 0 || port > 65535) {
            why = L"the relay must be on 127.0.0.0/8: " + address;
            return false;
        }
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET ||
            connect(socket_, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) {
            why = L"no relay answers at " + address;
            return false;
        }
        BOOL noDelay = TRUE;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof(noDelay));
        alive_ = true;
        reader_ = std::thread([this] { Read(); });
        return true;
    }

    bool Write(int id, const std::string& session, const char* method, Json params) {
        Json message = {{"id", id}, {"method", method}, {"params", std::move(params)}};
        if (!session.empty()) {
            message["sessionId"] = session;
        }
        std::string bytes = message.dump(-1, ' ', false, Json::error_handler_t::replace);
        bytes.push_back('\0');
        std::lock_guard<std::mutex> lock(writeMutex_);
        const char* data = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            int sent = send(socket_, data, static_cast<int>(std::min<size_t>(left, 1 << 20)), 0);
            if (sent <= 0) {
                return false;
            }
            data += sent;
            left -= static_cast<size_t>(sent);
        }
        return true;
    }

    void Forget(int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.erase(id);
    }

    void Read() {
        std::string buffer;
        std::vector<char> chunk(1 << 16);
        for (;;) {
            int got = recv(socket_, chunk.data(), static_cast<int>(chunk.size()), 0);
            if (got <= 0) {
                break;
            }
            buffer.append(chunk.data(), static_cast<size_t>(got));
            size_t start = 0;
            for (size_t end; (end = buffer.find('\0', start)) != std::string::npos;
                 start = end + 1) {
                Json message =
                    Json::parse(buffer.begin() + static_cast<std::ptrdiff_t>(start),
                                buffer.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
                if (message.is_object()) {
                    Dispatch(message);
                }
            }
            buffer.erase(0, start);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (alive_) {
            LogLine(L"ChromiumGone the relay closed the connection");
        }
        alive_ = false;
        for (auto& [id, pending] : pending_) {
            pending->done.notify_all();
        }
    }

    void Dispatch(const Json& message) {
        if (message.contains("id") && message["id"].is_number_integer()) {
            int id = message["id"].get<int>();
            std::lock_guard<std::mutex> lock(mutex_);
            auto found = pending_.find(id);
            if (found != pending_.end()) {
                Pending& pending = *found->second;
                pending.answered = true;
                pending.failed = message.contains("error");
                if (message.contains("result")) {
                    pending.result = message["result"];
                }
                pending.done.notify_all();
            }
            return;
        }
        std::string method = message.value("method", "");
        std::string session = message.value("sessionId", "");
        const Json& params = message.contains("params") ? message["params"] : Json::object();
        if (method == "Fetch.requestPaused") {
            {
                // A navigation the page started waits for the control's answer.
                std::lock_guard<std::mutex> lock(pagesMutex_);
                auto page = pages_.find(session);
                if (page != pages_.end() && !page->second->MayServe(params)) {
                    return;
                }
            }
            Serve(session, params);
            return;
        }
        if (method == "Page.javascriptDialogOpening") {
            // Nobody is there to answer a page's alert; it must not hold the page.
            Send(session, "Page.handleJavaScriptDialog", {{"accept", true}});
            return;
        }
        std::lock_guard<std::mutex> lock(pagesMutex_);
        auto page = pages_.find(session);
        if (page != pages_.end()) {
            page->second->OnEvent(method, params);
        }
    }

  public:
    // Every request of every page is answered from the web folder, or refused.
    void Serve(const std::string& session, const Json& params) {
        std::string requestId = params.value("requestId", "");
        std::wstring url;
        if (params.contains("request") && params["request"].is_object()) {
            url = Utf8ToWide(params["request"].value("url", ""));
        }
        UrlParts parts = SplitUrl(url);
        if (parts.scheme == L"file") {
            // Local files, read by Chromium itself: a file: address names a file directly.
            Send(session, "Fetch.continueRequest", {{"requestId", requestId}});
            return;
        }
        if (std::optional<Upstream> upstream = UpstreamFor(url)) {
            // A live server's page, fetched here and handed to Chromium as the answer to the
            // page's own address: the page keeps it, and with it its origin, which the page's
            // own policies (its Content-Security-Policy) name. (Chromium asked to fetch another
            // address would take it for a move to another origin.)
            auto self = shared_from_this();
            RunUpstreamFetch(*upstream, url, [self, session, requestId](UpstreamAnswer answer) {
                if (!answer.reached) {
                    self->Send(session, "Fetch.failRequest",
                               {{"requestId", requestId}, {"errorReason", "ConnectionRefused"}});
                    return;
                }
                self->Send(session, "Fetch.fulfillRequest",
                           {{"requestId", requestId},
                            {"responseCode", answer.status},
                            {"responseHeaders", PassedHeaders(answer.headers)},
                            {"body", Base64(answer.body)}});
            });
            return;
        }
        std::wstring file;
        if ((parts.scheme == L"http" || parts.scheme == L"https") &&
            AddressToFile(url, EnvironmentValue(L"REELHAWK_STANDIN_WEBROOT"), file)) {
            DWORD attributes = GetFileAttributesW(file.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (parts.path.empty() || parts.path.back() != L'/') {
                    // A folder's relative links start inside it.
                    parts.path += L'/';
                    Json headers = Json::array(
                        {{{"name", "Location"}, {"value", WideToUtf8(JoinUrl(parts))}}});
                    Send(session, "Fetch.fulfillRequest",
                         {{"requestId", requestId},
                          {"responseCode", 301},
                          {"responseHeaders", headers},
                          {"body", ""}});
                    return;
                }
                file += L"\\index.html";
            }
            std::string bytes;
            if (ReadPageFile(file, bytes)) {
                Json headers =
                    Json::array({{{"name", "Content-Type"}, {"value", ContentType(file)}}});
                Send(session, "Fetch.fulfillRequest",
                     {{"requestId", requestId},
                      {"responseCode", 200},
                      {"responseHeaders", headers},
                      {"body", Base64(bytes)}});
                return;
            }
        }
        // As with the model: a page that is not there leaves the shown page as it is.
        if (params.value("resourceType", "") == "Document") {
            LogLine(L"NotFound " + LogEscape(url));
            std::lock_guard<std::mutex> lock(pagesMutex_);
            auto page = pages_.find(session);
            if (page != pages_.end()) {
                page->second->Notify(kChromiumPageNotFound, url);
            }
        }
        Abort(session, requestId);
    }

    // A paused request that is not to be answered.
    void Abort(const std::string& session, const std::string& requestId) {
        Send(session, "Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Aborted"}});
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
    bool started_ = false;
    std::atomic<bool> alive_{false};
    std::thread reader_;
    std::mutex mutex_;  // pending_, nextId_
    std::mutex writeMutex_;
    std::mutex pagesMutex_;
    int nextId_ = 1;
    std::map<int, std::shared_ptr<Pending>> pending_;
    std::map<std::string, ChromiumPage*> pages_;
};

// The page's connection, kept beside it (a page never outlives it).
std::map<const ChromiumPage*, std::shared_ptr<Connection>>& Connections() {
    static std::map<const ChromiumPage*, std::shared_ptr<Connection>> map;
    return map;
}
std::mutex g_connectionsMutex;

std::shared_ptr<Connection> ConnectionOf(const ChromiumPage* page) {
    std::lock_guard<std::mutex> lock(g_connectionsMutex);
    auto found = Connections().find(page);
    return found == Connections().end() ? nullptr : found->second;
}

}  // namespace

bool ChromiumEngineChosen() {
    return EqualsNoCase(EnvironmentValue(L"REELHAWK_STANDIN_ENGINE"), L"chromium");
}

std::shared_ptr<ChromiumPage> ChromiumPage::Open(HWND notifyWindow, UINT loadedMessage) {
    std::wstring why;
    std::shared_ptr<Connection> connection = Connection::Acquire(why);
    if (!connection) {
        LogLine(L"ChromiumUnavailable " + LogEscape(why));
        return nullptr;
    }
    auto fail = [&](const wchar_t* step) -> std::shared_ptr<ChromiumPage> {
        LogLine(std::wstring(L"ChromiumUnavailable ") + step);
        return nullptr;
    };
    auto context = connection->Call({}, "Target.createBrowserContext", {{"disposeOnDetach", true}},
                                    kSetupTimeoutMs);
    if (!context || !context->contains("browserContextId")) {
        return fail(L"no browser context");
    }
    std::string contextId = (*context)["browserContextId"].get<std::string>();
    auto target = connection->Call({}, "Target.createTarget",
                                   {{"url", "about:blank"}, {"browserContextId", contextId}},
                                   kSetupTimeoutMs);
    if (!target || !target->contains("targetId")) {
        connection->Send({}, "Target.disposeBrowserContext", {{"browserContextId", contextId}});
        return fail(L"no page");
    }
    auto attached = connection->Call(
        {}, "Target.attachToTarget",
        {{"targetId", (*target)["targetId"].get<std::string>()}, {"flatten", true}},
        kSetupTimeoutMs);
    if (!attached || !attached->contains("sessionId")) {
        connection->Send({}, "Target.disposeBrowserContext", {{"browserContextId", contextId}});
        return fail(L"no session");
    }
    auto page = std::shared_ptr<ChromiumPage>(new ChromiumPage());
    page->session_ = (*attached)["sessionId"].get<std::string>();
    page->context_ = contextId;
    page->notify_ = notifyWindow;
    page->loadedMessage_ = loadedMessage;
    {
        std::lock_guard<std::mutex> lock(g_connectionsMutex);
        Connections()[page.get()] = connection;
    }
    connection->Register(page->session_, page.get());
    auto tree = page->Call("Page.getFrameTree");
    if (tree && tree->contains("frameTree")) {
        page->frame_ = (*tree)["frameTree"]["frame"].value("id", "");
    }
    // Interception first: not one request of this page may reach the network.
    if (!page->Call("Fetch.enable", {{"patterns", Json::array({{{"urlPattern", "*"}}})}}) ||
        !page->Call("Page.enable")) {
        return fail(L"the page refused interception");
    }
    return page;
}

ChromiumPage::~ChromiumPage() {
    std::shared_ptr<Connection> connection = ConnectionOf(this);
    if (connection) {
        connection->Unregister(session_);
        connection->Send({}, "Target.disposeBrowserContext", {{"browserContextId", context_}});
    }
    std::lock_guard<std::mutex> lock(g_connectionsMutex);
    Connections().erase(this);
}

std::optional<Json> ChromiumPage::Call(const char* method, Json params) {
    {
        // While the page's own navigation waits for the control's answer, Chromium holds every
        // command for the page until the navigation has ended: nothing is asked meanwhile.
        std::lock_guard<std::mutex> lock(mutex_);
        if (answersAwaited_ > 0) {
            return std::nullopt;
        }
    }
    std::shared_ptr<Connection> connection = ConnectionOf(this);
    if (!connection) {
        return std::nullopt;
    }
    return connection->Call(session_, method, std::move(params), kCallTimeoutMs);
}

void ChromiumPage::Send(const char* method, Json params) {
    if (std::shared_ptr<Connection> connection = ConnectionOf(this)) {
        connection->Send(session_, method, std::move(params));
    }
}

void ChromiumPage::Navigate(const std::wstring& url) {
    {
        // The control's own navigation was announced already and replaces whatever the page
        // started: an answer still awaited is void, and a request held for it is dropped.
        std::lock_guard<std::mutex> lock(mutex_);
        verdict_ = Verdict::kNone;
        answersAwaited_ = 0;
        DropHeldRequest();
    }
    loading_ = true;
    Send("Page.navigate", {{"url", WideToUtf8(url)}});
}

void ChromiumPage::Stop() {
    Send("Page.stopLoading");
    loading_ = false;
}

std::string ChromiumPage::EvaluateDocument() {
    auto result = Call("Runtime.evaluate", {{"expression", "document"}});
    if (!result || !result->contains("result")) {
        return {};
    }
    if (result->contains("exceptionDetails")) {
        ReleaseThrown(*result);
        return {};
    }
    return (*result)["result"].value("objectId", "");
}

void ChromiumPage::ReleaseObject(const std::string& objectId) {
    Send("Runtime.releaseObject", {{"objectId", objectId}});
}

void ChromiumPage::ReleaseThrown(const Json& answer) {
    // Chromium keeps what a function threw, twice over (as the result and as the exception),
    // until it is released: a page whose scripts throw would otherwise fill it up.
    if (!answer.is_object() || !answer.contains("exceptionDetails")) {
        return;
    }
    for (const Json* remote : {answer.contains("result") ? &answer["result"] : nullptr,
                               answer["exceptionDetails"].contains("exception")
                                   ? &answer["exceptionDetails"]["exception"]
                                   : nullptr}) {
        if (remote && remote->is_object() && remote->contains("objectId")) {
            ReleaseObject((*remote)["objectId"].get<std::string>());
        }
    }
}

std::vector<std::shared_ptr<ChromiumPage>> ChromiumPage::All() {
    std::vector<std::shared_ptr<ChromiumPage>> pages;
    std::lock_guard<std::mutex> lock(g_connectionsMutex);
    for (const auto& [page, connection] : Connections()) {
        if (auto held = std::const_pointer_cast<ChromiumPage>(page->weak_from_this().lock())) {
            pages.push_back(std::move(held));
        }
    }
    return pages;
}

long ChromiumPage::HeldRemoteObjects() {
    std::shared_ptr<Connection> connection = ConnectionOf(this);
    if (!connection) {
        return -1;
    }
    // Chromium numbers the remote objects of a script context "<isolate>.<context>.<n>", from 1
    // up. A fresh object of the page's context gives the newest number there; every id below it
    // is then asked after, and whatever Chromium still knows is held, whoever asked for it.
    auto marker = Call("Runtime.evaluate", {{"expression", "({})"}});
    if (!marker || !marker->contains("result")) {
        return -1;
    }
    const std::string newestId = (*marker)["result"].value("objectId", "");
    if (newestId.empty() || !Call("Runtime.releaseObject", {{"objectId", newestId}})) {
        return -1;
    }
    const size_t dot = newestId.rfind('.');
    const long newest = dot == std::string::npos ? 0 : std::atol(newestId.c_str() + dot + 1);
    if (newest <= 0) {
        return -1;
    }
    const std::string context = newestId.substr(0, dot + 1);
    constexpr long kBatch = 500;
    long held = 0;
    for (long first = 1; first < newest; first += kBatch) {
        std::vector<Json> probes;
        for (long n = first; n < std::min(newest, first + kBatch); ++n) {
            probes.push_back({{"objectId", context + std::to_string(n)},
                              {"functionDeclaration", "function(){}"},
                              {"returnByValue", true}});
        }
        for (Connection::Answer answer : connection->CallAll(session_, "Runtime.callFunctionOn",
                                                             std::move(probes), kCallTimeoutMs)) {
            if (answer == Connection::Answer::kNone) {
                return -1;
            }
            held += answer == Connection::Answer::kResult ? 1 : 0;
        }
    }
    return held;
}

long long ChromiumPage::HeapBytes() {
    if (!Call("HeapProfiler.collectGarbage")) {
        return -1;
    }
    auto usage = Call("Runtime.getHeapUsage");
    if (!usage) {
        return -1;
    }
    // The script heap and the one the page's document lives in.
    return usage->value("usedSize", 0LL) + usage->value("embedderHeapUsedSize", 0LL);
}

long ChromiumPage::DomNodes() {
    auto counters = Call("Memory.getDOMCounters");
    return counters ? counters->value("nodes", -1L) : -1;
}

void ChromiumPage::AllowNavigation(bool allowed) {
    Json held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (answersAwaited_ == 0) {
            return;
        }
        if (--answersAwaited_ > 0) {
            return;  // the page navigated again meanwhile: the answer to that one decides
        }
        if (heldRequest_.is_null()) {
            verdict_ = allowed ? Verdict::kAllowed : Verdict::kRefused;  // its request comes later
            return;
        }
        if (!allowed) {
            DropHeldRequest();
            return;
        }
        held = std::move(heldRequest_);
        heldRequest_ = Json();
    }
    if (std::shared_ptr<Connection> connection = ConnectionOf(this)) {
        connection->Serve(session_, held);
    }
}

void ChromiumPage::Abort(const Json& request) {
    if (std::shared_ptr<Connection> connection = ConnectionOf(this)) {
        connection->Abort(session_, request.value("requestId", ""));
    }
}

void ChromiumPage::DropHeldRequest() {
    if (!heldRequest_.is_null()) {
        Abort(heldRequest_);
        heldRequest_ = Json();
    }
}

bool ChromiumPage::MayServe(const Json& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.value("resourceType", "") != "Document" || request.value("frameId", "") != frame_) {
        return true;
    }
    if (answersAwaited_ > 0) {
        heldRequest_ = request;
        return false;
    }
    const Verdict verdict = std::exchange(verdict_, Verdict::kNone);
    if (verdict == Verdict::kRefused) {
        Abort(request);
        return false;
    }
    return true;
}

bool ChromiumPage::Alive() const {
    std::shared_ptr<Connection> connection = ConnectionOf(this);
    return connection && connection->Alive();
}

std::wstring ChromiumPage::CommittedUrl() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return committedUrl_;
}

void ChromiumPage::Notify(ChromiumNotice notice, const std::wstring& url) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        noticeUrl_ = url;
    }
    PostMessageW(notify_, loadedMessage_, notice, 0);
}

std::wstring ChromiumPage::NoticeUrl() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return noticeUrl_;
}

void ChromiumPage::OnEvent(const std::string& method, const Json& params) {
    if (method == "Page.frameNavigated" && params.contains("frame")) {
        const Json& frame = params["frame"];
        if (!frame.contains("parentId")) {
            std::lock_guard<std::mutex> lock(mutex_);
            frame_ = frame.value("id", "");
            committedUrl_ = Utf8ToWide(frame.value("url", "") + frame.value("urlFragment", ""));
            committed_ = true;
        }
    } else if (method == "Page.frameStartedLoading") {
        if (params.value("frameId", "") == frame_) {
            loading_ = true;
        }
    } else if (method == "Page.frameStoppedLoading") {
        // Also the end of a navigation that was refused or failed, which has no load event.
        if (params.value("frameId", "") == frame_) {
            loading_ = false;
        }
    } else if (method == "Page.frameRequestedNavigation") {
        // What a click or a page's script asked of the main frame, named as the model names it.
        std::string reason = params.value("reason", "");
        std::wstring url = Utf8ToWide(params.value("url", ""));
        if (params.value("frameId", "") == frame_) {
            if (reason.rfind("formSubmission", 0) == 0) {
                LogLine(L"Submit " + LogEscape(url));
            } else if (reason == "anchorClick") {
                LogLine(L"Link " + LogEscape(url));
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                // An earlier navigation's request or answer is superseded by this one; Chromium
                // drops that navigation, and so do we.
                verdict_ = Verdict::kNone;
                ++answersAwaited_;
                DropHeldRequest();
            }
            Notify(kChromiumPageNavigating, url);
        }
    } else if (method == "Page.downloadWillBegin") {
        // The answer is a file, not a page: Chromium downloads it and the shown page stays.
        if (params.value("frameId", "") == frame_) {
            std::wstring url = Utf8ToWide(params.value("url", ""));
            LogLine(L"Download " + LogEscape(url));
            Notify(kChromiumPageDownload, url);
        }
    } else if (method == "Page.loadEventFired") {
        loading_ = false;
        // The blank page the target was made with may report its load late; only pages this
        // control navigated to are shown.
        std::lock_guard<std::mutex> lock(mutex_);
        if (committed_) {
            committed_ = false;
            PostMessageW(notify_, loadedMessage_, kChromiumPageLoaded, 0);
        }
    }
}

}  // namespace standin
