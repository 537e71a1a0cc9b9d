// worker_pool: the extraction processes, their threads, the queue and the replacement rules.
#include "worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "child_process.h"

namespace resolver {
namespace {

using Clock = std::chrono::steady_clock;

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

std::string AskYtDlpVersion(const std::string& python, const std::string& script) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = SpawnChild({python, "-I", "-B", script, "--version"}, -1, out[1], -1);
    const int error = pid < 0 ? errno : 0;
    close(out[1]);
    std::string said;
    const auto until = Clock::now() + std::chrono::seconds(10);
    char buffer[256];
    while (error == 0 && said.size() < 4096) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            said.clear();  // too slow: what it said so far is not trusted
            break;
        }
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        said.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (error == 0) {
        kill(pid, SIGKILL);  // it has said all it will
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    const std::size_t end = said.find_first_of("\r\n");
    said = said.substr(0, end);
    const bool printable =
        std::all_of(said.begin(), said.end(), [](char c) { return c > ' ' && c < 0x7F; });
    return error == 0 && printable ? said : std::string();
}

int StatusForWorkerCode(const std::string& code) {
    if (code == "no_video") {
        return 422;
    }
    if (code == "address_refused" || code == "bad_address") {
        return 400;
    }
    if (code == "timeout") {
        return 504;
    }
    if (code == "busy" || code == "stopping") {
        return 503;
    }
    return 502;  // fetch_failed, extract_failed, worker_failed
}

WorkerPool::WorkerPool(WorkerSettings settings)
    : settings_(std::move(settings)),
      slotVersions_(static_cast<std::size_t>(std::max(settings_.workers, 0))) {
    // Whatever a worker starts (yt-dlp may run helpers) is ours to reap when its worker is
    // killed, rather than an orphan of init.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    retirer_ = std::thread([this] { Retirer(); });
    for (std::size_t i = 0; i < slotVersions_.size(); ++i) {
        threads_.emplace_back([this, i] { Run(i); });
    }
}

WorkerPool::~WorkerPool() {
    Stop();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    {
        std::lock_guard lock(mutex_);
        retirerStopping_ = true;
        retire_.notify_all();
    }
    retirer_.join();
}

void WorkerPool::Stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
}

void WorkerPool::Reload() {
    std::lock_guard lock(mutex_);
    ++generation_;
    wake_.notify_all();
}

PoolStatus WorkerPool::Status() const {
    std::lock_guard lock(mutex_);
    PoolStatus status;
    status.alive = alive_;
    status.busy = busy_;
    status.queued = static_cast<int>(jobs_.size());
    status.started = started_;
    status.replaced = replaced_;
    status.killed = killed_;
    status.notReady = notReady_;
    for (const std::string& version : slotVersions_) {
        if (version.empty()) {
            continue;
        }
        ++status.ready;
        if (std::find(status.versions.begin(), status.versions.end(), version) ==
            status.versions.end()) {
            status.versions.push_back(version);
        }
    }
    return status;
}

void WorkerPool::Publish(std::size_t slot, const std::string& version) {
    // One slot at a time, so that the last versions said are the pool's last.
    std::lock_guard publishing(publishing_);
    std::string joined;
    {
        std::lock_guard lock(mutex_);
        if (slotVersions_[slot] == version) {
            return;
        }
        slotVersions_[slot] = version;
    }
    if (settings_.versionsChanged) {
        for (const std::string& each : Status().versions) {
            joined += (joined.empty() ? "" : ", ") + each;
        }
        settings_.versionsChanged(joined);
    }
}

void WorkerPool::Extract(const std::string& address, Clock::time_point deadline,
                         std::function<void(Outcome)> done) {
    bool stopping = false;
    {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
        if (!stopping && static_cast<int>(jobs_.size()) < settings_.queue) {
            jobs_.push_back(Job{address, deadline, std::move(done)});
            // Every slot looks: one whose worker is still warming up would not take it.
            wake_.notify_all();
            return;
        }
    }
    done(stopping ? Outcome::Failure(503, "stopping", "The service is stopping; try again shortly.")
                  : Outcome::Failure(503, "busy",
                                     "Every extraction worker is busy; try again shortly."));
}

bool WorkerPool::Start(Process& process) {
    int toWorker[2];
    int fromWorker[2];
    if (!MakePipes(toWorker, fromWorker)) {
        return false;
    }
    std::vector<std::string> args = {settings_.python, "-I",       "-B",
                                     settings_.script, "--parent", std::to_string(getpid())};
    args.insert(args.end(), settings_.scriptArgs.begin(), settings_.scriptArgs.end());
    // Its messages go where the service's own do.
    const pid_t pid = SpawnChild(args, toWorker[0], fromWorker[1], STDERR_FILENO);
    close(toWorker[0]);
    close(fromWorker[1]);
    if (pid < 0) {
        close(toWorker[1]);
        close(fromWorker[0]);
        return false;
    }
    process = Process{};
    process.pid = pid;
    process.in = toWorker[1];
    process.out = fromWorker[0];
    process.readyBy = Clock::now() + settings_.timeout;
    std::lock_guard lock(mutex_);
    process.generation = generation_;
    ++alive_;
    ++started_;
    return true;
}

WorkerPool::Warmth WorkerPool::Warm(Process& process) {
    char buffer[4096];
    std::size_t newline = process.said.find('\n');
    while (newline == std::string::npos) {
        pollfd p{process.out, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) {
            return Warmth::Warming;
        }
        const ssize_t n = read(process.out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || process.said.size() > 65536) {
            return Warmth::Failed;
        }
        process.said.append(buffer, static_cast<std::size_t>(n));
        newline = process.said.find('\n');
    }
    const nlohmann::json line =
        nlohmann::json::parse(process.said.substr(0, newline), nullptr, false);
    if (!line.is_object() || line.value("ready", false) != true) {
        return Warmth::Failed;
    }
    const auto version = line.find("yt_dlp");
    process.version = version != line.end() && version->is_string() && !version->empty()
                          ? version->get<std::string>()
                          : "unknown";
    // Anything after its ready line was said out of turn: it is not trusted with a request.
    process.tainted = newline + 1 != process.said.size();
    process.said.clear();
    process.ready = !process.tainted;
    return process.ready ? Warmth::Ready : Warmth::Failed;
}

void WorkerPool::Kill(Process& process) {
    if (process.pid <= 0) {
        return;
    }
    kill(-process.pid, SIGKILL);
    CloseFd(process.in);
    CloseFd(process.out);
    while (waitpid(process.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    // What it started was killed with it and comes to us, their subreaper, to be reaped: until
    // the group is gone (zombies count), at most two seconds.
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (kill(-process.pid, 0) == 0 && Clock::now() < until) {
        if (waitpid(-process.pid, nullptr, WNOHANG) <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    process = Process{};
    std::lock_guard lock(mutex_);
    --alive_;
}

void WorkerPool::Retire(Process& process) {
    // End of input asks the worker to end; it gets a second before it is killed.
    CloseFd(process.in);
    const auto until = Clock::now() + std::chrono::seconds(1);
    char buffer[4096];
    while (Clock::now() < until) {
        pollfd p{process.out, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) {
            continue;
        }
        if (read(process.out, buffer, sizeof buffer) <= 0) {
            break;
        }
    }
    Kill(process);
}

void WorkerPool::RetireLater(Process process) {
    std::lock_guard lock(mutex_);
    retiring_.push_back(std::move(process));
    retire_.notify_one();
}

void WorkerPool::Retirer() {
    for (;;) {
        Process process;
        {
            std::unique_lock lock(mutex_);
            retire_.wait(lock, [this] { return retirerStopping_ || !retiring_.empty(); });
            if (retiring_.empty()) {
                return;
            }
            process = std::move(retiring_.front());
            retiring_.pop_front();
        }
        Retire(process);
    }
}

bool WorkerPool::Quiet(const Process& process) const {
    pollfd p{process.out, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

std::uint64_t WorkerPool::ResidentBytes(pid_t pid) const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) {
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
        }
    }
    return 0;
}

Outcome WorkerPool::Ask(Process& process, const Job& job) {
    auto fail = [&](const char* code, const std::string& message) {
        Kill(process);
        std::lock_guard lock(mutex_);
        ++killed_;
        return Outcome::Failure(StatusForWorkerCode(code), code, message);
    };
    // Every request has a number the answer must carry, so that a line the worker wrote out of
    // turn can never be taken for the answer to a request.
    const std::uint64_t id = ++process.asked;
    if (!WriteAll(process.in, DumpJson({{"id", id}, {"url", job.address}}) + "\n")) {
        return fail("worker_failed", "The extraction worker ended before it was asked.");
    }
    std::string answer;
    char buffer[65536];
    std::size_t newline = std::string::npos;
    while (newline == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(job.deadline - Clock::now());
        pollfd p{process.out, POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count()) + 1) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            const auto seconds = std::chrono::ceil<std::chrono::seconds>(settings_.timeout).count();
            return fail("timeout", "The page did not answer within " + std::to_string(seconds) +
                                       (seconds == 1 ? " second." : " seconds."));
        }
        const ssize_t n = read(process.out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail("worker_failed", "The extraction worker ended while resolving the page.");
        }
        const std::size_t before = answer.size();
        answer.append(buffer, static_cast<std::size_t>(n));
        newline = answer.find('\n', before);
        if ((newline == std::string::npos ? answer.size() : newline) > settings_.maxAnswerBytes) {
            return fail("worker_failed", "The extraction worker's answer was too large.");
        }
    }
    // More after the answer: the answer stands, the worker is not trusted with another request.
    process.tainted = newline + 1 != answer.size();
    const nlohmann::json parsed = nlohmann::json::parse(answer.substr(0, newline), nullptr, false);
    if (!parsed.is_object() || !parsed.contains("ok") || !parsed["ok"].is_boolean() ||
        parsed.value("id", std::uint64_t{0}) != id) {
        return fail("worker_failed", "The extraction worker's answer was not understood.");
    }
    ++process.served;
    if (parsed["ok"].get<bool>()) {
        Outcome outcome;
        outcome.resolution = BuildResolution(parsed.value("info", nlohmann::json::object()));
        if (const auto it = parsed.find("default_headers"); it != parsed.end() && it->is_object()) {
            for (const auto& [name, value] : it->items()) {
                if (value.is_string()) {
                    outcome.resolution->defaultHeaders.emplace_back(name, value.get<std::string>());
                }
            }
        }
        outcome.cacheable = true;
        return outcome;
    }
    const auto text = [&](const char* name, const char* otherwise) {
        const auto it = parsed.find(name);
        return it != parsed.end() && it->is_string() ? it->get<std::string>()
                                                     : std::string(otherwise);
    };
    const std::string code = text("code", "extract_failed");
    Outcome failure = Outcome::Failure(StatusForWorkerCode(code), code,
                                       text("message", "The page could not be resolved."),
                                       code == "no_video" || code == "fetch_failed");
    failure.detail = text("detail", "");
    return failure;
}

void WorkerPool::Run(std::size_t slot) {
    Process current;       // takes the slot's requests once it is ready
    Process successor;     // warming up: the slot's first worker, a replacement, or a reload's
    bool planned = false;  // the successor is the pool's one planned replacement warming up
    bool due = false;      // the current worker has served its count or passed its memory
    int failures = 0;      // warm-ups failed in a row
    Clock::time_point nextStart;  // after a failed warm-up, the next one waits until then
    const auto release = [&] {
        if (planned) {
            std::lock_guard lock(mutex_);
            successorWarming_ = false;
            wake_.notify_all();
        }
        planned = false;
    };
    const auto failed = [&](const std::string& why) {
        ++failures;
        const auto wait = std::chrono::seconds(1 << std::min(failures - 1, 5));
        nextStart = Clock::now() + wait;
        std::cerr << "reelhawk-resolver: a new worker (" << settings_.python << ") " << why
                  << "; another in " << wait.count() << " s" << std::endl;
        release();
    };
    for (;;) {
        // A successor takes over between two requests once it is ready; one that ended, said
        // something else or is late is killed, and the next one waits a little longer each time.
        if (successor.pid > 0) {
            const Warmth warmth = Warm(successor);
            if (warmth == Warmth::Ready) {
                if (current.pid > 0) {
                    RetireLater(std::move(current));
                    std::lock_guard lock(mutex_);
                    ++replaced_;
                }
                current = std::move(successor);
                successor = Process{};
                due = false;
                failures = 0;
                release();
                Publish(slot, current.version);
            } else if (warmth == Warmth::Failed || Clock::now() >= successor.readyBy) {
                Kill(successor);
                {
                    std::lock_guard lock(mutex_);
                    ++notReady_;
                }
                failed(warmth == Warmth::Failed
                           ? "ended, or wrote something else, before it said it was ready"
                           : "was not ready within " +
                                 std::to_string(settings_.timeout.count() / 1000) + " s");
            }
        }
        const bool serving = current.pid > 0;
        // Nothing to serve with: a worker is started at once, not in a planned replacement's turn.
        if (!serving && successor.pid <= 0 && Clock::now() >= nextStart) {
            if (!Start(successor)) {
                failed("could not be started");
            }
        }
        {
            std::unique_lock lock(mutex_);
            // A planned replacement: the request count, the memory or a reload. The current worker
            // keeps serving meanwhile.
            if (serving && successor.pid <= 0 && !successorWarming_ && !stopping_ &&
                Clock::now() >= nextStart && (due || current.generation < generation_)) {
                successorWarming_ = planned = true;
                lock.unlock();
                if (!Start(successor)) {
                    failed("could not be started");
                }
                continue;
            }
        }
        Job job;
        std::vector<Job> late;
        const auto answerLate = [&] {
            for (Job& waited : late) {
                waited.done(Outcome::Failure(504, "timeout",
                                             "The request waited too long for a ready worker."));
            }
            late.clear();
        };
        {
            std::unique_lock lock(mutex_);
            const auto wanted = [&] {
                return (serving && !jobs_.empty()) || (stopping_ && jobs_.empty()) ||
                       (serving && successor.pid <= 0 && !successorWarming_ &&
                        Clock::now() >= nextStart && (due || current.generation < generation_));
            };
            if (successor.pid > 0 || !serving) {
                wake_.wait_for(lock, std::chrono::milliseconds(20), wanted);  // tending a warm-up
            } else {
                wake_.wait(lock, wanted);
            }
            if (!serving) {
                // Without a worker here a request may wait in vain: it is answered at its deadline
                // (once the lock is let go).
                for (auto it = jobs_.begin(); it != jobs_.end();) {
                    if (Clock::now() < it->deadline) {
                        ++it;
                        continue;
                    }
                    late.push_back(std::move(*it));
                    it = jobs_.erase(it);
                }
            }
            if (stopping_ && jobs_.empty()) {
                lock.unlock();
                answerLate();
                break;  // stopping, and nothing left to finish
            }
            if (!serving || jobs_.empty()) {
                lock.unlock();
                answerLate();
                continue;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
            ++busy_;
        }
        answerLate();
        // A worker that died, or wrote anything, while idle is replaced before it is given the
        // request, which goes back to the queue: nothing it wrote out of turn may be read as the
        // answer.
        if (current.tainted || !Quiet(current)) {
            Kill(current);
            Publish(slot, "");
            std::lock_guard lock(mutex_);
            ++killed_;
            --busy_;
            jobs_.push_front(std::move(job));
            wake_.notify_all();
            continue;
        }
        Outcome outcome;
        if (Clock::now() >= job.deadline) {
            outcome = Outcome::Failure(504, "timeout", "The request waited too long for a worker.");
        } else {
            outcome = Ask(current, job);
        }
        job.done(std::move(outcome));
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        // A worker killed for this request is replaced at once, so that the pool is whole again
        // before the next one.
        if (current.tainted) {
            Kill(current);
            std::lock_guard lock(mutex_);
            ++killed_;
        }
        if (current.pid <= 0) {
            Publish(slot, "");
            continue;
        }
        // Long-lived extractors grow; a worker is replaced between requests, never during one.
        due = current.served >= settings_.requestsPerWorker ||
              ResidentBytes(current.pid) > settings_.memoryLimitBytes;
    }
    if (successor.pid > 0) {
        Kill(successor);
    }
    release();
    if (current.pid > 0) {
        Retire(current);
    }
    Publish(slot, "");
}

}  // namespace resolver
