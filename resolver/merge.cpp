// merge: choosing the pair, the records, and ffmpeg's run from its start to its last byte.
#include "merge.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "page_writer.h"
#include "sealing.h"
#include "child_process.h"

namespace resolver {

namespace net = boost::asio;

namespace {

constexpr std::size_t kPiece = 64 * 1024;
constexpr std::size_t kKeptErrors = 2048;  // of ffmpeg's messages, for the log

bool StartsWithAny(std::string_view codec, std::initializer_list<std::string_view> names) {
    return std::any_of(names.begin(), names.end(),
                       [&](std::string_view name) { return codec.starts_with(name); });
}

// Codecs an MP4 holds as they are.
bool MovablePicture(std::string_view codec) {
    return StartsWithAny(
        codec, {"avc1", "avc3", "h264", "hev1", "hvc1", "h265", "hevc", "av01", "vp09", "vp9"});
}
bool MovableSound(std::string_view codec) {
    return StartsWithAny(codec, {"mp4a", "aac", "mp3", "opus"});
}

// A file ffmpeg can read through the tunnel as one file: a single file, or pieces in order.
bool Readable(const MediaFile& file) {
    return file.extension != "m3u8" && (file.extension != "mpd" || !file.fragments.empty());
}

std::string Sentence(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += (c == '\n' || c == '\r') ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out.size() > 300 ? out.substr(out.size() - 300) : out;
}

}  // namespace

std::optional<std::pair<std::size_t, std::size_t>> ChooseMergePair(
    const std::vector<MediaFile>& files, int part, std::chrono::seconds maxDuration) {
    std::optional<std::size_t> picture;
    std::optional<std::size_t> sound;
    std::optional<std::size_t> both;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const MediaFile& f = files[i];
        if (f.part != part) {
            continue;
        }
        if (f.duration && *f.duration > static_cast<double>(maxDuration.count())) {
            return std::nullopt;
        }
        // Each kind comes best first: the first that fits is the one.
        if (f.kind == FileKind::PictureOnly && !picture && MovablePicture(f.vcodec) &&
            Readable(f)) {
            picture = i;
        } else if (f.kind == FileKind::SoundOnly && !sound && MovableSound(f.acodec) &&
                   Readable(f)) {
            sound = i;
        } else if (f.kind == FileKind::PictureAndSound && !both) {
            both = i;
        }
    }
    if (!picture || !sound) {
        return std::nullopt;
    }
    if (both) {
        const auto height = [&](std::size_t i) { return files[i].height.value_or(0); };
        if (height(*picture) <= height(*both)) {
            return std::nullopt;  // the file with both is as good a picture
        }
    }
    return std::make_pair(*picture, *sound);
}

Merges::Merges(MergeSettings settings, net::io_context& io, Tunnels& tunnels)
    : settings_(std::move(settings)), io_(io), tunnels_(tunnels) {
    std::string_view path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    while (!available_ && !path.empty()) {
        const std::size_t colon = path.find(':');
        const std::string folder(path.substr(0, colon));
        path = colon == std::string_view::npos ? std::string_view() : path.substr(colon + 1);
        available_ = access((folder + "/" + settings_.ffmpeg).c_str(), X_OK) == 0;
    }
}

Merges::~Merges() {
    KillAll();
}

void Merges::AddMergedFiles(Resolution& r, const std::string& page) {
    if (!available_) {
        return;
    }
    std::vector<int> parts = {0};
    for (const Part& part : r.parts) {
        parts.push_back(part.number);
    }
    for (int part : parts) {
        const auto pair = ChooseMergePair(r.files, part, settings_.maxDuration);
        if (!pair) {
            continue;
        }
        std::vector<std::string> inputs;
        for (std::size_t i : {pair->first, pair->second}) {
            TunnelRecord input = FetchRecord(r.files[i], page);
            input.name = i == pair->first ? "picture" : "sound";
            inputs.push_back(tunnels_.Keep(input));
        }
        const MediaFile& picture = r.files[pair->first];
        const MediaFile& sound = r.files[pair->second];
        MediaFile merged;
        merged.kind = FileKind::Merged;
        merged.extension = "mp4";
        merged.part = part;
        merged.width = picture.width;
        merged.height = picture.height;
        merged.duration = picture.duration;
        // About the two inputs' sizes: theirs, else their bitrates over the video's length.
        const auto size = [](const MediaFile& f) -> std::optional<std::int64_t> {
            if (f.size) {
                return f.size;
            }
            if (f.bitrate && f.duration) {
                return static_cast<std::int64_t>(*f.bitrate * 125.0 * *f.duration);
            }
            return std::nullopt;
        };
        if (size(picture) && size(sound)) {
            merged.size = *size(picture) + *size(sound);
        }
        merged.joins = {picture.format, sound.format};
        TunnelRecord record;
        record.name = LinkText(r, merged);
        record.extension = "mp4";
        record.page = page;
        record.part = part;
        record.inputs = inputs;
        record.duration = picture.duration;
        if (merged.size) {
            record.size = static_cast<std::uint64_t>(*merged.size);
        }
        merged.listedPath = "/m/" + tunnels_.Keep(record) + "/" + Tunnels::PathName(record.name);
        // First among the video's files.
        const auto first = std::find_if(r.files.begin(), r.files.end(),
                                        [&](const MediaFile& f) { return f.part == part; });
        r.files.insert(first, std::move(merged));
    }
}

bool Merges::Begin(const std::string& id, int pid) {
    std::lock_guard lock(mutex_);
    if (pid < 0 && static_cast<int>(runs_.size()) >= settings_.merges) {
        return false;
    }
    runs_[id].pid = pid;
    return true;
}

void Merges::End(const std::string& id) {
    std::lock_guard lock(mutex_);
    runs_.erase(id);
}

int Merges::running() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(runs_.size());
}

bool Merges::Internal(std::string_view mergeId) const {
    std::lock_guard lock(mutex_);
    return !mergeId.empty() && runs_.count(std::string(mergeId)) > 0;
}

void Merges::InputFailed(const std::string& mergeId, const std::string& why) {
    std::lock_guard lock(mutex_);
    if (const auto it = runs_.find(mergeId); it != runs_.end() && it->second.failure.empty()) {
        it->second.failure = why;
    }
}

std::string Merges::Failure(const std::string& id) {
    std::lock_guard lock(mutex_);
    const auto it = runs_.find(id);
    return it == runs_.end() ? std::string() : it->second.failure;
}

void Merges::KillAll() {
    std::lock_guard lock(mutex_);
    for (const auto& [id, run] : runs_) {
        if (run.pid > 0) {
            kill(-run.pid, SIGKILL);
        }
    }
}

// One ffmpeg process and the answer it makes.
struct MergeRun : http::BodySource, std::enable_shared_from_this<MergeRun> {
    Merges& merges;
    std::string id;
    pid_t pid = -1;
    net::strand<net::io_context::executor_type> strand;
    net::posix::stream_descriptor out;
    net::posix::stream_descriptor errors;
    net::steady_timer timer;
    std::array<char, kPiece> buffer{};
    std::array<char, 512> errorBuffer{};
    std::string said;  // the end of what ffmpeg wrote on stderr
    bool reaped = false;

    MergeRun(Merges& m, std::string i)
        : merges(m),
          id(std::move(i)),
          strand(net::make_strand(m.io_)),
          out(strand),
          errors(strand),
          timer(strand) {}

    ~MergeRun() {
        Kill();
        merges.End(id);
    }

    // Starts ffmpeg on the two inputs. Returns false (nothing left running) when it cannot.
    bool Start(const TunnelRecord& record) {
        int stdoutPipe[2];
        int stderrPipe[2];
        if (!MakePipes(stdoutPipe, stderrPipe)) {
            return false;
        }
        const std::string header = "X-Reelhawk-Merge: " + id + "\r\n";
        std::vector<std::string> args = {
            merges.settings_.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-xerror"};
        for (const std::string& input : record.inputs) {
            // Only the service's own tunnel, over plain HTTP on loopback.
            args.insert(args.end(), {"-protocol_whitelist", "http,tcp", "-headers", header, "-i",
                                     merges.settings_.loopback + "/t/" + input + "/input"});
        }
        args.insert(args.end(),
                    {"-map", "0:v:0", "-map", "1:a:0", "-c", "copy", "-f", "mp4", "-movflags",
                     "frag_keyframe+empty_moov+default_base_moof", "pipe:1"});
        pid = SpawnChild(args, -1, stdoutPipe[1], stderrPipe[1]);
        close(stdoutPipe[1]);
        close(stderrPipe[1]);
        if (pid < 0) {
            close(stdoutPipe[0]);
            close(stderrPipe[0]);
            return false;
        }
        merges.Begin(id, pid);
        out.assign(stdoutPipe[0]);
        errors.assign(stderrPipe[0]);
        ReadErrors();
        return true;
    }

    // What ffmpeg says on stderr, kept (its end) for the log; read all along so that it never
    // waits for us there.
    void ReadErrors() {
        errors.async_read_some(
            net::buffer(errorBuffer),
            [self = shared_from_this()](boost::system::error_code error, std::size_t n) {
                if (error) {
                    return;
                }
                self->said.append(self->errorBuffer.data(), n);
                if (self->said.size() > kKeptErrors) {
                    self->said.erase(0, self->said.size() - kKeptErrors);
                }
                self->ReadErrors();
            });
    }

    void Next(Piece done) override {
        auto self = shared_from_this();
        net::dispatch(strand, [self, done = std::move(done)]() mutable {
            // ffmpeg silent for the time limit: its input stalls, or it does.
            self->timer.expires_after(self->merges.settings_.timeout);
            self->timer.async_wait([self](boost::system::error_code error) {
                if (!error) {
                    boost::system::error_code ignored;
                    self->out.cancel(ignored);
                }
            });
            self->out.async_read_some(
                net::buffer(self->buffer),
                [self, done = std::move(done)](boost::system::error_code error, std::size_t n) {
                    self->timer.cancel();
                    if (!error) {
                        done(std::string_view(self->buffer.data(), n), false, {});
                    } else if (error == net::error::eof) {
                        self->Ended(std::move(done), 0);
                    } else {
                        done({}, false,
                             error == net::error::operation_aborted
                                 ? "ffmpeg said nothing within the time limit"
                                 : "ffmpeg's output failed (" + error.message() + ")");
                    }
                });
        });
    }

    // ffmpeg closed its output: the file is whole only when it ended well and no input failed.
    void Ended(Piece done, int waited) {
        int status = 0;
        const pid_t gone = waitpid(pid, &status, WNOHANG);
        if (gone == 0 && waited < 500) {
            timer.expires_after(std::chrono::milliseconds(10));
            timer.async_wait([self = shared_from_this(), done = std::move(done),
                              waited](boost::system::error_code) mutable {
                self->Ended(std::move(done), waited + 1);
            });
            return;
        }
        if (gone == pid) {
            reaped = true;
        }
        const std::string input = merges.Failure(id);
        if (!input.empty()) {
            done({}, false, "an input failed: " + input);
        } else if (gone != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            done({}, false, "ffmpeg failed: " + Sentence(said.empty() ? "no message" : said));
        } else {
            done({}, true, {});
        }
    }

    void Cancel(const std::string&) override { Kill(); }

    // Ends ffmpeg (its group) and reaps it. This function can't fail.
    void Kill() {
        if (pid > 0 && !reaped) {
            kill(-pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            reaped = true;
        }
        boost::system::error_code ignored;
        out.close(ignored);
        errors.close(ignored);
    }
};

void Merges::Serve(std::shared_ptr<http::Exchange> exchange) {
    std::string_view rest = exchange->path();
    rest.remove_prefix(std::string_view("/m/").size());
    const std::string token(rest.substr(0, rest.find('/')));
    auto answer = [this, exchange, token] {
        const auto record = tunnels_.Find(token);
        if (!record || record->inputs.size() != 2) {
            exchange->Respond(ExpiredAddress());
            return;
        }
        http::Reply reply;
        reply.headers.set("Content-Type", "video/mp4");
        reply.headers.set("Accept-Ranges", "none");
        reply.headers.set("Content-Disposition", ContentDisposition(record->name));
        reply.headers.set("Cache-Control", "private");
        if (record->size) {
            // Made while it is sent, its length is not known; the inputs' sizes tell about.
            reply.headers.set("X-Estimated-Content-Length", std::to_string(*record->size));
        }
        if (exchange->head()) {
            exchange->Respond(std::move(reply));
            return;
        }
        const std::string id = Base64Url(RandomBytes(16));
        if (!Begin(id, -1)) {
            http::Reply busy = http::Reply::Text(
                503, kHtml,
                WriteSentencePage(
                    "The service is joining as many files as it can; try again shortly."));
            busy.headers.set("Retry-After", "10");
            exchange->Respond(std::move(busy));
            return;
        }
        auto run = std::make_shared<MergeRun>(*this, id);
        if (!run->Start(*record)) {
            exchange->Respond(http::Reply::Text(500, "text/plain; charset=utf-8",
                                                "ffmpeg could not be started.\n"));
            return;
        }
        reply.stream = run;
        exchange->Respond(std::move(reply));
    };
    // The record may be in Redis.
    net::post(tunnels_.blocking(), std::move(answer));
}

}  // namespace resolver
