#pragma once
// Live servers behind hosts of the local web.
//
// REELHAWK_STANDIN_UPSTREAM="host=127.0.0.1:port[,host=address:port…]" puts the HTTP server at
// that address behind the host: its pages come from the server instead of the web folder, while
// every other host is still played by the folder. Only servers on this machine's loopback
// (127.x.x.x or [::1], written as such) are taken; any other entry is refused and the refusal
// logged, so nothing the stand-in fetches ever leaves this machine.

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct Upstream {
    std::wstring host;     // lower-case, as in page addresses
    std::wstring address;  // "127.0.0.1" or "::1"
    unsigned short port = 0;
};

struct UpstreamTable {
    std::vector<Upstream> accepted;
    std::vector<std::wstring> refused;  // the entries as written
};

// The entries of the variable's text; malformed or not loopback ones go to `refused`.
UpstreamTable ParseUpstreams(std::wstring_view text);

// Whether an address names this machine's loopback by number.
bool IsLoopbackAddress(std::wstring_view address);

// The live server for a page address (http or https) from REELHAWK_STANDIN_UPSTREAM; nullopt
// when its host has none. A host whose entry was refused logs "UpstreamRefused" here, each time
// it is asked for, and is played by the web folder.
std::optional<Upstream> UpstreamFor(std::wstring_view url);

// The page address moved onto the server: http://127.0.0.1:port/path?query (no fragment).
std::wstring UpstreamAddress(const Upstream& upstream, std::wstring_view url);

struct UpstreamAnswer {
    bool reached = false;  // the server answered (any status)
    DWORD status = 0;
    std::string body;
    std::wstring url;      // the page's address after redirects within the same host
    std::wstring headers;  // the server's answer's head, as WinHTTP gives it (lines in CRLF)
};

// A GET of the page from its server with the platform's HTTP client, never through a proxy.
// Redirects are followed only onto the same host (so onto the same server), at most five times;
// bodies over 16 MiB are not taken. Blocks: call it off the user-interface thread.
UpstreamAnswer FetchFromUpstream(const Upstream& upstream, std::wstring url);

// Fetches running on their own threads (the module stays loaded while any runs).
long RunningUpstreamFetches();

// Fetches the page on a thread of its own and calls done there with the answer.
void RunUpstreamFetch(const Upstream& upstream, std::wstring url,
                      std::function<void(UpstreamAnswer)> done);

// Fetches the page on a thread of its own and posts `message` (wParam: serial) to `window` when
// the answer is in `*answer`. The answer is shared, so a browser that has gone meanwhile loses
// nothing but the message.
void StartUpstreamFetch(const Upstream& upstream, std::wstring url, HWND window, UINT message,
                        WPARAM serial, std::shared_ptr<UpstreamAnswer> answer);

}  // namespace standin
