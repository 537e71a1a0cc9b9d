// tunnel: probing the hosts, making records, and the tunnel's answers.
#include "tunnel.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <charconv>
#include <cctype>

#include "hls.h"
#include "page_writer.h"

namespace resolver {

namespace net = boost::asio;

namespace {

// The headers of a format that the worker does not send every host: what the host may need.
Headers Extras(const Headers& headers, const Headers& defaults) {
    Headers extras;
    for (const auto& header : headers) {
        const bool ordinary = std::any_of(defaults.begin(), defaults.end(), [&](const auto& d) {
            return boost::beast::iequals(d.first, header.first) && d.second == header.second;
        });
        if (!ordinary) {
            extras.push_back(header);
        }
    }
    return extras;
}

// An address whose query names an IP address (ip=…): bound to the machine that resolved it.
bool BoundToResolver(std::string_view url) {
    const std::size_t query = url.find('?');
    if (query == std::string_view::npos) {
        return false;
    }
    std::string_view rest = url.substr(query + 1);
    rest = rest.substr(0, rest.find('#'));
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (pair.starts_with("ip=") && pair.size() > 3) {
            return true;
        }
    }
    return false;
}

std::optional<std::uint64_t> Number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// The whole size a Content-Range ("bytes A-B/SIZE", "bytes */SIZE") names.
std::optional<std::uint64_t> RangeTotal(std::string_view contentRange) {
    const std::size_t slash = contentRange.rfind('/');
    return slash == std::string_view::npos ? std::nullopt : Number(contentRange.substr(slash + 1));
}

// A media type as a host may send it, passed on only when it looks like one.
std::string MediaType(std::string_view type) {
    const bool plain =
        !type.empty() && type.size() < 200 &&
        std::all_of(type.begin(), type.end(),
                    [](unsigned char c) {
                        return std::isalnum(c) ||
                               std::string_view("/.+-_;= \"").find(static_cast<char>(c)) !=
                                   std::string_view::npos;
                    }) &&
        type.find('/') != std::string_view::npos;
    return plain ? std::string(type) : "application/octet-stream";
}

bool LooksLikePlaylist(const TunnelRecord& record, std::string_view url, std::string_view type) {
    std::string lower(type);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string_view path = url.substr(0, url.find('?'));
    return lower.find("mpegurl") != std::string::npos || path.ends_with(".m3u8") ||
           (record.extension == "m3u8" && url == record.url);
}

http::Reply Page(unsigned status, const std::string& sentence) {
    return http::Reply::Text(status, kHtml, WriteSentencePage(sentence));
}

}  // namespace

TunnelRecord FetchRecord(const MediaFile& file, const std::string& page) {
    TunnelRecord record;
    record.url = file.address;
    record.headers = file.headers;
    record.fragments = file.fragments;
    record.chunk = file.chunk;
    record.extension = file.extension;
    record.page = page;
    record.format = file.format;
    record.part = file.part;
    return record;
}

http::Reply ExpiredAddress() {
    return Page(404,
                "This address has expired or is not known here. Resolve the video page again to "
                "get a new one.");
}

std::string ContentDisposition(const std::string& name) {
    std::string ascii;
    for (const unsigned char c : name) {
        const bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '%';
        if (plain) {
            ascii += static_cast<char>(c);
        } else if (c < 0x80 || (c & 0xC0) != 0x80) {
            ascii += '_';  // one "_" for each character that is not plain ASCII
        }
    }
    // The UTF-8 name is percent-encoded as in a path: everything but the unreserved characters.
    return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + Tunnels::PathName(name);
}

std::optional<ByteRange> ParseRange(std::string_view header) {
    if (!header.starts_with("bytes=") || header.find(',') != std::string_view::npos) {
        return std::nullopt;
    }
    header.remove_prefix(6);
    const std::size_t dash = header.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    ByteRange range;
    const std::string_view first = header.substr(0, dash);
    const std::string_view last = header.substr(dash + 1);
    if (!first.empty()) {
        range.first = Number(first);
        if (!range.first) {
            return std::nullopt;
        }
    }
    if (!last.empty()) {
        range.last = Number(last);
        if (!range.last || (range.first && *range.last < *range.first)) {
            return std::nullopt;
        }
    }
    if (!range.first && !range.last) {
        return std::nullopt;
    }
    return range;
}

std::string Tunnels::PathName(const std::string& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

Tunnels::Tunnels(TunnelSettings settings, net::io_context& io, net::any_io_executor blocking,
                 UpstreamContext& upstream, TunnelStore& store, Reresolve reresolve)
    : settings_(settings),
      io_(io),
      blocking_(std::move(blocking)),
      upstream_(upstream),
      store_(store),
      reresolve_(std::move(reresolve)) {}

Tunnels::~Tunnels() = default;

void Tunnels::WithStore(std::function<void()> work) {
    if (store_.blocking()) {
        net::post(blocking_, std::move(work));
    } else {
        work();
    }
}

std::string Tunnels::Keep(const TunnelRecord& record) {
    const TunnelToken token = TunnelToken::New();
    store_.Put(token.id, SealRecord(token, record), settings_.ttl);
    return token.text();
}

std::optional<TunnelRecord> Tunnels::Find(const std::string& text) {
    const auto token = TunnelToken::Parse(text);
    if (!token) {
        return std::nullopt;
    }
    const auto sealed = store_.Take(token->id, settings_.ttl);
    return sealed ? OpenRecord(*token, *sealed) : std::nullopt;
}

bool Tunnels::Acquire(const std::string& client, bool internal, unsigned* status) {
    if (internal) {
        ++streams_;
        return true;
    }
    std::lock_guard lock(mutex_);
    if (streams_ >= settings_.streams) {
        *status = 503;
        return false;
    }
    int& mine = clients_[client];
    if (mine >= settings_.clientStreams) {
        if (mine == 0) {
            clients_.erase(client);
        }
        *status = 429;
        return false;
    }
    ++mine;
    ++streams_;
    return true;
}

void Tunnels::Release(const std::string& client, bool internal) {
    --streams_;
    if (internal) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (const auto it = clients_.find(client); it != clients_.end() && --it->second <= 0) {
        clients_.erase(it);
    }
}

// One result's files being sorted into those listed as they are and those given a tunnel.
struct Preparation : std::enable_shared_from_this<Preparation> {
    Tunnels& tunnels;
    Resolution resolution;
    std::string page;
    std::function<void(Resolution)> done;
    net::strand<net::io_context::executor_type> strand;
    net::steady_timer timer;
    std::vector<bool> tunnel;
    std::vector<std::shared_ptr<UpstreamFetch>> probes;
    int pending = 0;
    bool finished = false;
    Clock::time_point probeUntil;  // the hosts are asked until then

    Preparation(Tunnels& t, Resolution r, std::string p, std::function<void(Resolution)> d)
        : tunnels(t),
          resolution(std::move(r)),
          page(std::move(p)),
          done(std::move(d)),
          strand(net::make_strand(t.io_)),
          timer(strand),
          tunnel(resolution.files.size(), false) {}

    void Start(Deadline requestDeadline) {
        probeUntil = std::min(Clock::now() + tunnels.settings_.probeTime, requestDeadline);
        const TunnelMode mode = tunnels.settings_.mode;
        std::vector<std::size_t> asked;
        for (std::size_t i = 0; i < resolution.files.size(); ++i) {
            const MediaFile& file = resolution.files[i];
            if (file.kind == FileKind::PlaylistPart || mode == TunnelMode::Never) {
                continue;
            }
            if (mode == TunnelMode::Always || BoundToResolver(file.address)) {
                tunnel[i] = true;
            } else if (!Extras(file.headers, resolution.defaultHeaders).empty() &&
                       file.fragments.empty()) {
                // (A stream in pieces is listed by its manifest, which says nothing of them.)
                asked.push_back(i);
            }
        }
        if (asked.empty()) {
            Measure();
            return;
        }
        // Every host asked at once, for the file's first byte with only the headers any client
        // sends: a file that comes is listed as it is; one that does not, in time, is tunnelled.
        AskFirstBytes(asked, true, &Preparation::Answered, &Preparation::Measure);
    }

    using Answer = void (Preparation::*)(std::size_t, const UpstreamFailure&, const UpstreamHead&);
    using Step = void (Preparation::*)();

    // Asks the hosts of these files for their first byte, all at once, within what is left of the
    // time for asking; each answer (or its failure: Cancelled when the time is up) goes to
    // answered, and once every one came, then runs. ordinaryOnly: with only the headers the
    // worker sends every host.
    void AskFirstBytes(const std::vector<std::size_t>& asked, bool ordinaryOnly, Answer answered,
                       Step then) {
        const auto left = std::max(
            std::chrono::duration_cast<std::chrono::milliseconds>(probeUntil - Clock::now()),
            std::chrono::milliseconds(1));
        pending = static_cast<int>(asked.size());
        auto self = shared_from_this();
        net::dispatch(strand, [self, asked, left, ordinaryOnly, answered, then] {
            for (std::size_t i : asked) {
                const MediaFile& file = self->resolution.files[i];
                UpstreamRequest request;
                request.url = file.address;
                for (const auto& header : file.headers) {
                    if (!ordinaryOnly ||
                        Extras({header}, self->resolution.defaultHeaders).empty()) {
                        request.headers.push_back(header);
                    }
                }
                request.headers.emplace_back("Range", "bytes=0-0");
                request.timeout = left;
                self->probes.push_back(
                    StartFetch(self->strand, self->tunnels.upstream_, request,
                               [self, i, answered, then](const UpstreamFailure& failure,
                                                         const UpstreamHead& head) {
                                   self->Came(i, answered, then, failure, head);
                               }));
            }
            self->timer.expires_after(left);
            self->timer.async_wait([self](boost::system::error_code error) {
                if (!error) {
                    for (auto& probe : self->probes) {
                        probe->Cancel();  // whoever has not answered: Cancelled
                    }
                }
            });
        });
    }

    // One answer of a round (or its failure); once every one came, the round ends and then runs.
    void Came(std::size_t i, Answer answered, Step then, const UpstreamFailure& failure,
              const UpstreamHead& head) {
        (this->*answered)(i, failure, head);
        if (--pending == 0) {
            timer.cancel();
            for (auto& probe : probes) {
                probe->Cancel();
            }
            probes.clear();
            (this->*then)();
        }
    }

    void Answered(std::size_t i, const UpstreamFailure& failure, const UpstreamHead& head) {
        MediaFile& file = resolution.files[i];
        const bool comes = !failure && head.status >= 200 && head.status < 300;
        tunnel[i] = !comes;
        if (comes && !file.size) {
            Sized(file, head);
        }
    }

    // The sizes not known of the files the service will fetch (a tunnel's, or a picture or sound
    // it may merge), asked of their hosts as their first byte with every header they need, so
    // that the list says them and a merge can tell its length about. Within what is left of the
    // time for asking.
    void Measure() {
        // The tunnelled files first, then the pictures and sounds best first; a few at most, so
        // that a page with many formats does not make many connections to one host.
        constexpr std::size_t kMeasured = 8;
        std::vector<std::size_t> asked;
        for (const bool tunnelled : {true, false}) {
            for (std::size_t i = 0; i < resolution.files.size() && asked.size() < kMeasured; ++i) {
                const MediaFile& f = resolution.files[i];
                const bool fetched = tunnelled ? static_cast<bool>(tunnel[i])
                                               : !tunnel[i] && (f.kind == FileKind::PictureOnly ||
                                                                f.kind == FileKind::SoundOnly);
                if (fetched && !f.size && f.fragments.empty() && f.extension != "m3u8" &&
                    f.kind != FileKind::PlaylistPart &&
                    tunnels.settings_.mode != TunnelMode::Never) {
                    asked.push_back(i);
                }
            }
        }
        if (asked.empty() || Clock::now() >= probeUntil) {
            Finish();
            return;
        }
        AskFirstBytes(asked, false, &Preparation::Measured, &Preparation::Finish);
    }

    void Measured(std::size_t i, const UpstreamFailure& failure, const UpstreamHead& head) {
        if (!failure && head.status >= 200 && head.status < 300) {
            Sized(resolution.files[i], head);
        }
    }

    static void Sized(MediaFile& file, const UpstreamHead& head) {
        if (const auto total = RangeTotal(head.Field("Content-Range"))) {
            file.size = static_cast<std::int64_t>(*total);
        } else if (head.status == 200 && head.contentLength) {
            file.size = static_cast<std::int64_t>(*head.contentLength);
        }
    }

    // Makes the records (where the store is called) and hands the resolution on.
    void Finish() {
        if (finished) {
            return;
        }
        finished = true;
        auto self = shared_from_this();
        tunnels.WithStore([self] {
            Resolution& r = self->resolution;
            if (self->tunnels.finisher_) {
                self->tunnels.finisher_(r, self->page);
                // Files added before others shift them: the tunnel marks follow the files.
                std::vector<bool> marks;
                std::size_t next = 0;
                for (const MediaFile& file : r.files) {
                    marks.push_back(file.kind != FileKind::Merged && next < self->tunnel.size() &&
                                    self->tunnel[next]);
                    next += file.kind != FileKind::Merged;
                }
                self->tunnel = std::move(marks);
            }
            for (std::size_t i = 0; i < r.files.size(); ++i) {
                MediaFile& file = r.files[i];
                if (self->tunnel[i]) {
                    TunnelRecord record = FetchRecord(file, self->page);
                    record.name = LinkText(r, file);
                    if (file.size) {
                        record.size = static_cast<std::uint64_t>(*file.size);
                    }
                    record.childKey = Base64Url(RandomBytes(16));
                    file.listedPath =
                        "/t/" + self->tunnels.Keep(record) + "/" + Tunnels::PathName(record.name);
                }
            }
            for (MediaFile& file : r.files) {
                file.headers.clear();
                file.fragments.clear();
            }
            r.defaultHeaders.clear();
            self->done(std::move(r));
        });
    }
};

void Tunnels::Prepare(Resolution resolution, const std::string& page, Deadline deadline,
                      std::function<void(Resolution)> done) {
    auto preparation =
        std::make_shared<Preparation>(*this, std::move(resolution), page, std::move(done));
    preparation->Start(deadline);
}

void Tunnels::Renew(const TunnelToken& token, TunnelRecord record,
                    std::function<void(std::optional<TunnelRecord>)> done) {
    {
        std::lock_guard lock(mutex_);
        auto& waiting = renewing_[token.id];
        waiting.push_back(std::move(done));
        if (waiting.size() > 1) {
            return;  // the page is being resolved again for this tunnel already
        }
    }
    auto finish = [this, id = token.id](std::optional<TunnelRecord> renewed) {
        std::vector<std::function<void(std::optional<TunnelRecord>)>> waiting;
        {
            std::lock_guard lock(mutex_);
            waiting = std::move(renewing_[id]);
            renewing_.erase(id);
        }
        for (auto& callback : waiting) {
            callback(renewed);
        }
    };
    const std::string page = record.page;
    reresolve_(page, Clock::now() + settings_.timeout,
               [this, token, record = std::move(record), finish](Outcome outcome) mutable {
                   const MediaFile* same = nullptr;
                   if (outcome.resolution) {
                       for (const MediaFile& file : outcome.resolution->files) {
                           if (file.format == record.format && file.part == record.part &&
                               !file.format.empty()) {
                               same = &file;
                               break;
                           }
                       }
                   }
                   if (same == nullptr) {
                       finish(std::nullopt);
                       return;
                   }
                   record.url = same->address;
                   record.headers = same->headers;
                   record.fragments = same->fragments;
                   record.chunk = same->chunk;
                   WithStore([this, token, record, finish] {
                       store_.Put(token.id, SealRecord(token, record), settings_.ttl);
                       finish(record);
                   });
               });
}

// One request for a tunnel address, from its record to the last byte.
struct TunnelRequest : std::enable_shared_from_this<TunnelRequest> {
    Tunnels& tunnels;
    std::shared_ptr<http::Exchange> exchange;
    std::string client;
    std::string merge;  // the merge this is an input of
    bool internal;
    bool counted = false;
    TunnelToken token;
    TunnelRecord record;
    std::string url;     // what is fetched: the record's file, or an address its playlist names
    bool child = false;  // an address a rewritten playlist names
    std::optional<ByteRange> range;
    bool renewed = false;
    bool whole = false;  // the range is ignored (If-Range did not match)
    std::shared_ptr<UpstreamFetch> fetch;
    std::string playlist;  // a playlist read whole before it is rewritten
    // A file the host serves in pieces, fetched one after the other: its fragments (a DASH
    // stream), or ranges of one address (the record's chunk, as YouTube's files are served).
    enum class Pieces { None, Fragments, Ranges } pieces = Pieces::None;
    std::size_t fragment = 0;           // the next fragment
    std::uint64_t next = 0;             // the next byte to ask for, in ranges
    std::optional<std::uint64_t> last;  // the last byte to send, in ranges
    bool pieceEnded = false;            // the current piece is all sent; the next is to be fetched

    TunnelRequest(Tunnels& t, std::shared_ptr<http::Exchange> e, std::string c, std::string m)
        : tunnels(t),
          exchange(std::move(e)),
          client(std::move(c)),
          merge(std::move(m)),
          internal(!merge.empty()) {}

    // A merge's input that fails makes the merge fail, whatever ffmpeg makes of it.
    void Failed(const std::string& why) {
        if (internal && tunnels.inputFailed_) {
            tunnels.inputFailed_(merge, why);
        }
    }

    ~TunnelRequest() {
        if (fetch) {
            fetch->Cancel();
        }
        if (counted) {
            tunnels.Release(client, internal);
        }
    }

    const http::Request& request() const { return exchange->request(); }
    bool head() const { return exchange->head(); }

    void Respond(http::Reply reply) {
        if (reply.status >= 400) {
            Failed("the input's tunnel answered " + std::to_string(reply.status));
        }
        reply.headers.set("Cache-Control", "private");
        exchange->Respond(std::move(reply));
    }

    void Start(std::string_view rest) {
        // TOKEN/NAME, or TOKEN/h/SIGNATURE/ADDRESS/NAME for what a playlist names.
        const std::size_t slash = rest.find('/');
        const auto parsed = TunnelToken::Parse(rest.substr(0, slash));
        if (!parsed) {
            Respond(ExpiredAddress());
            return;
        }
        token = *parsed;
        std::string_view more = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
        std::string signature;
        std::string address;
        if (more.starts_with("h/")) {
            more.remove_prefix(2);
            const std::size_t a = more.find('/');
            const std::size_t b = a == std::string_view::npos ? a : more.find('/', a + 1);
            if (b == std::string_view::npos) {
                Respond(ExpiredAddress());
                return;
            }
            signature = std::string(more.substr(0, a));
            const auto decoded = FromBase64Url(more.substr(a + 1, b - a - 1));
            if (!decoded) {
                Respond(ExpiredAddress());
                return;
            }
            address = *decoded;
            child = true;
        }
        unsigned refused = 0;
        if (!tunnels.Acquire(client, internal, &refused)) {
            http::Reply reply =
                Page(refused, refused == 429 ? "Too many downloads from your address at "
                                               "once; try again when one has ended."
                                             : "The service is serving as many downloads "
                                               "as it can; try again shortly.");
            reply.headers.set("Retry-After", "5");
            Respond(std::move(reply));
            return;
        }
        counted = true;
        const auto range = request().find("Range");
        if (range != request().end()) {
            this->range = ParseRange(range->value());
        }
        auto self = shared_from_this();
        tunnels.WithStore([self, signature, address] {
            const auto sealed =
                self->tunnels.store_.Take(self->token.id, self->tunnels.settings_.ttl);
            auto record = sealed ? OpenRecord(self->token, *sealed) : std::nullopt;
            net::dispatch(self->exchange->executor(), [self, record = std::move(record), signature,
                                                       address]() mutable {
                if (!record) {
                    self->Respond(ExpiredAddress());
                    return;
                }
                self->record = std::move(*record);
                if (self->child) {
                    const std::string expected =
                        Base64Url(HmacSha256(self->record.childKey, address).substr(0, 16));
                    if (self->record.childKey.empty() || signature != expected) {
                        self->Respond(ExpiredAddress());
                        return;
                    }
                    self->url = address;
                } else {
                    self->url = self->record.url;
                }
                self->Fetch();
            });
        });
    }

    void Fetch() {
        std::string rangeAsked;
        if (!child && !record.fragments.empty()) {
            // Fragments make one file, which has no ranges.
            pieces = Pieces::Fragments;
            url = record.fragments[0];
            fragment = 1;
        } else if (!child && record.chunk > 0 && !head() && (!range || range->first) && !whole) {
            pieces = Pieces::Ranges;
            next = range ? *range->first : 0;
            last = range ? range->last : std::nullopt;
            rangeAsked = NextRange();
        } else if (head()) {
            // A HEAD is asked of the host as the first byte (hosts have refused HEAD where a
            // ranged GET works).
            rangeAsked = "bytes=0-0";
        } else if (range && !whole) {
            rangeAsked = std::string(request().find("Range")->value());
        }
        Ask(url, rangeAsked,
            [self = shared_from_this()](const UpstreamFailure& failure, const UpstreamHead& head) {
                self->OnHead(failure, head);
            });
    }

    void Ask(const std::string& address, const std::string& rangeAsked, UpstreamHeadHandler then) {
        UpstreamRequest upstream;
        upstream.url = address;
        upstream.headers = record.headers;
        upstream.timeout = tunnels.settings_.timeout;
        if (!rangeAsked.empty()) {
            upstream.headers.emplace_back("Range", rangeAsked);
        }
        fetch = StartFetch(exchange->executor(), tunnels.upstream_, std::move(upstream),
                           std::move(then));
    }

    // The next piece's range of a file fetched in ranges, and the byte after it.
    std::string NextRange() {
        std::uint64_t end = next + record.chunk - 1;
        if (last && *last < end) {
            end = *last;
        }
        const std::string asked = "bytes=" + std::to_string(next) + "-" + std::to_string(end);
        next = end + 1;
        return asked;
    }

    bool MorePieces() const {
        return pieces == Pieces::Fragments ? fragment < record.fragments.size()
               : pieces == Pieces::Ranges  ? last && next <= *last
                                           : false;
    }

    // Fetches the next piece and goes on reading the body there; done gets a failure when the
    // piece does not come.
    void NextPiece(http::BodySource::Piece done) {
        std::string address = record.url;
        std::string rangeAsked;
        if (pieces == Pieces::Fragments) {
            address = record.fragments[fragment++];
        } else {
            rangeAsked = NextRange();
        }
        const int wanted = pieces == Pieces::Ranges ? 206 : 200;
        Ask(address, rangeAsked,
            [self = shared_from_this(), done = std::move(done), wanted](
                const UpstreamFailure& failure, const UpstreamHead& head) mutable {
                if (failure || (head.status != wanted && !(wanted == 200 && head.status == 206))) {
                    const std::string why =
                        failure ? failure.message
                                : "a piece answered HTTP " + std::to_string(head.status);
                    self->Failed(why);
                    done({}, false, "the file's host failed: " + why);
                    return;
                }
                self->pieceEnded = false;
                self->ReadBody(std::move(done));
            });
    }

    // The next bytes of the body; the end of a piece that has more after it is not the end.
    void ReadBody(http::BodySource::Piece done) {
        if (pieceEnded) {
            NextPiece(std::move(done));
            return;
        }
        fetch->Read(kUpstreamMaxPiece,
                    [self = shared_from_this(), done = std::move(done)](
                        const UpstreamFailure& failure, std::string_view data, bool end) {
                        if (failure) {
                            self->Failed(failure.message);
                            done({}, false, "the file's host failed: " + failure.message);
                        } else if (end && self->MorePieces()) {
                            self->pieceEnded = true;
                            done(data, false, {});
                        } else {
                            done(data, end, {});
                        }
                    });
    }

    void Fail(const UpstreamFailure& failure) {
        const unsigned status = failure.error == UpstreamError::Refused   ? 403
                                : failure.error == UpstreamError::Timeout ? 504
                                                                          : 502;
        Respond(Page(status, "The file could not be fetched: " + failure.message));
    }

    void OnHead(const UpstreamFailure& failure, const UpstreamHead& upstream) {
        if (failure) {
            Fail(failure);
            return;
        }
        const int status = upstream.status;
        // The host refuses an address it gave: the page is resolved again, once, and the same
        // format's new address taken (for this request and every later one).
        if ((status == 403 || status == 410) && !renewed && !child && !record.page.empty()) {
            renewed = true;
            fetch->Cancel();
            fetch.reset();
            auto self = shared_from_this();
            tunnels.Renew(token, record, [self](std::optional<TunnelRecord> renewed) {
                net::dispatch(self->exchange->executor(), [self, renewed = std::move(renewed)] {
                    if (!renewed) {
                        self->Respond(Page(502,
                                           "The file's host refused it, and resolving the "
                                           "page again did not give it back."));
                        return;
                    }
                    self->record = *renewed;
                    self->url = self->record.url;
                    self->Fetch();
                });
            });
            return;
        }
        if (status == 416) {
            http::Reply reply = Page(416, "The range asked for is not in the file.");
            if (const auto total = RangeTotal(upstream.Field("Content-Range"))) {
                reply.headers.set("Content-Range", "bytes */" + std::to_string(*total));
            }
            Respond(std::move(reply));
            return;
        }
        if (status < 200 || status >= 300) {
            Respond(Page(502, "The file's host answered with an error (HTTP " +
                                  std::to_string(status) + ")."));
            return;
        }
        if (pieces == Pieces::Fragments) {
            // One file made of the fragments, as long as they turn out: chunked, no ranges.
            http::Reply reply;
            reply.headers.set("Content-Type", MediaType(upstream.Field("Content-Type")));
            reply.headers.set("Accept-Ranges", "none");
            reply.headers.set("Content-Disposition", ContentDisposition(record.name));
            reply.stream = std::make_shared<Source>(shared_from_this());
            Respond(std::move(reply));
            return;
        }
        if (pieces == Pieces::Ranges && status == 200) {
            pieces = Pieces::None;  // the host sends the whole file at once after all
        }
        if (LooksLikePlaylist(record, url, upstream.Field("Content-Type"))) {
            ReadPlaylist(upstream);
            return;
        }
        // The whole file's size, and the validator a resuming client compares.
        const std::string contentRange = upstream.Field("Content-Range");
        std::optional<std::uint64_t> total =
            status == 206 ? RangeTotal(contentRange) : upstream.contentLength;
        const std::string etag =
            "\"" +
            Hex(Sha256(token.id + '\n' + record.format + '\n' + (child ? url : std::string()) +
                       '\n' + (total ? std::to_string(*total) : std::string("-"))))
                .substr(0, 32) +
            "\"";
        const auto ifRange = request().find("If-Range");
        if (status == 206 && !head() && ifRange != request().end() && ifRange->value() != etag &&
            ifRange->value() != upstream.Field("Last-Modified")) {
            // The client's copy is not this file: all of it, from the start.
            whole = true;
            fetch->Cancel();
            Fetch();
            return;
        }
        http::Reply reply;
        reply.headers.set("Content-Type", MediaType(upstream.Field("Content-Type")));
        reply.headers.set("ETag", etag);
        if (const std::string modified = upstream.Field("Last-Modified"); !modified.empty()) {
            reply.headers.set("Last-Modified", modified);
        }
        const bool ranges =
            status == 206 || boost::beast::iequals(upstream.Field("Accept-Ranges"), "bytes");
        reply.headers.set("Accept-Ranges", ranges ? "bytes" : "none");
        reply.headers.set("Content-Disposition", ContentDisposition(record.name));
        if (head()) {
            fetch->Cancel();
            reply.status = 200;
            reply.length = total;
            if (!total) {
                reply.headers.erase("Accept-Ranges");
            }
            Respond(std::move(reply));
            return;
        }
        reply.status = status == 206 && range ? 206 : 200;
        if (reply.status == 206) {
            reply.headers.set("Content-Range", contentRange);
        }
        reply.length = upstream.contentLength;
        if (pieces == Pieces::Ranges) {
            // The answer is the whole range asked (or the file), made of pieces.
            const std::uint64_t first = range ? *range->first : 0;
            last = total ? std::optional(std::min(last.value_or(*total - 1), *total - 1)) : last;
            if (!last || *last < first) {
                pieces = Pieces::None;  // the host's size is not known: this piece alone
            } else {
                reply.length = *last - first + 1;
                if (reply.status == 206) {
                    reply.headers.set("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                           std::to_string(*last) + "/" +
                                                           std::to_string(*total));
                }
            }
        }
        reply.stream = std::make_shared<Source>(shared_from_this());
        Respond(std::move(reply));
    }

    void ReadPlaylist(const UpstreamHead& upstream) {
        const std::string finalUrl = upstream.url.empty() ? url : upstream.url;
        auto self = shared_from_this();
        fetch->Read(kUpstreamMaxPiece, [self, finalUrl](const UpstreamFailure& failure,
                                                        std::string_view data, bool end) {
            if (failure) {
                self->Fail(failure);
                return;
            }
            self->playlist.append(data);
            if (self->playlist.size() > kMaxPlaylistBytes) {
                self->Respond(Page(502, "The file's host sent a playlist too long to pass on."));
                return;
            }
            if (!end) {
                UpstreamHead again;
                again.url = finalUrl;
                self->ReadPlaylist(again);
                return;
            }
            if (!IsPlaylist(self->playlist)) {
                self->Respond(Page(502, "The file's host did not send a playlist."));
                return;
            }
            const std::string prefix = "/t/" + self->token.text() + "/h/";
            const std::string key = self->record.childKey;
            std::string rewritten =
                RewritePlaylist(self->playlist, finalUrl, [&](const std::string& address) {
                    const std::string signature = Base64Url(HmacSha256(key, address).substr(0, 16));
                    std::string name = address.substr(0, address.find('?'));
                    name = name.substr(name.rfind('/') + 1);
                    return prefix + signature + "/" + Base64Url(address) + "/" +
                           Tunnels::PathName(name.empty() ? "part" : name);
                });
            http::Reply reply =
                http::Reply::Text(200, "application/vnd.apple.mpegurl", std::move(rewritten));
            self->Respond(std::move(reply));
        });
    }

    // The body, read from the host only as fast as the client takes it.
    struct Source : http::BodySource {
        std::shared_ptr<TunnelRequest> request;
        explicit Source(std::shared_ptr<TunnelRequest> r) : request(std::move(r)) {}
        void Next(Piece done) override { request->ReadBody(std::move(done)); }
        void Cancel(const std::string&) override {
            // Not a failure of the input: ffmpeg leaves a connection when it seeks.
            if (request && request->fetch) {
                request->fetch->Cancel();
            }
        }
    };
};

void Tunnels::Serve(std::shared_ptr<http::Exchange> exchange, const std::string& client,
                    const std::string& merge) {
    std::string_view rest = exchange->path();
    rest.remove_prefix(std::string_view("/t/").size());
    auto request = std::make_shared<TunnelRequest>(*this, std::move(exchange), client, merge);
    request->Start(rest);
}

}  // namespace resolver
