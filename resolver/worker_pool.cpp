// worker_pool: the extraction processes, their threads, the queue and the replacement rules.
#include "worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

extern char** environ;

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

WorkerPool::WorkerPool(WorkerSettings settings) : settings_(std::move(settings)) {
    // Whatever a worker starts (yt-dlp may run helpers) is ours to reap when its worker is
    // killed, rather than an orphan of init.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int i = 0; i < settings_.workers; ++i) {
        threads_.emplace_back([this] { Run(); });
    }
}

WorkerPool::~WorkerPool() {
    Stop();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void WorkerPool::Stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
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
    return status;
}

void WorkerPool::Extract(const std::string& address, Clock::time_point deadline,
                         std::function<void(Outcome)> done) {
    bool stopping = false;
    {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
        if (!stopping && static_cast<int>(jobs_.size()) < settings_.queue) {
            jobs_.push_back(Job{address, deadline, std::move(done)});
            wake_.notify_one();
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
    if (pipe2(toWorker, O_CLOEXEC) != 0) {
        return false;
    }
    if (pipe2(fromWorker, O_CLOEXEC) != 0) {
        close(toWorker[0]);
        close(toWorker[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toWorker[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromWorker[1], 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that a kill reaches whatever it started; the signals the service
    // blocks or ignores back to normal.
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    std::vector<std::string> args = {settings_.python, "-I",       "-B",
                                     settings_.script, "--parent", std::to_string(getpid())};
    args.insert(args.end(), settings_.scriptArgs.begin(), settings_.scriptArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error =
        posix_spawnp(&pid, settings_.python.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(toWorker[0]);
    close(fromWorker[1]);
    if (error != 0) {
        close(toWorker[1]);
        close(fromWorker[0]);
        return false;
    }
    process = Process{pid, toWorker[1], fromWorker[0]};
    std::lock_guard lock(mutex_);
    ++alive_;
    ++started_;
    return true;
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
    process.pid = -1;
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
            const auto seconds =
                std::chrono::ceil<std::chrono::seconds>(settings_.timeout).count();
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

void WorkerPool::Run() {
    Process process;
    Start(process);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                break;  // stopping, and nothing left to finish
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
            ++busy_;
        }
        // A worker that died, or wrote anything, while idle is replaced before it is given the
        // request: nothing it wrote out of turn may be read as the answer.
        if (process.pid > 0 && (process.tainted || !Quiet(process))) {
            Kill(process);
            std::lock_guard lock(mutex_);
            ++killed_;
        }
        if (process.pid <= 0) {
            Start(process);
        }
        Outcome outcome;
        if (Clock::now() >= job.deadline) {
            outcome = Outcome::Failure(504, "timeout", "The request waited too long for a worker.");
        } else if (process.pid <= 0) {
            outcome = Outcome::Failure(502, "worker_failed",
                                       "The extraction worker could not be started.");
        } else {
            outcome = Ask(process, job);
        }
        job.done(std::move(outcome));
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        // A worker killed for this request is replaced at once, so that the pool is whole again
        // before the next one.
        if (process.tainted) {
            Kill(process);
            std::lock_guard lock(mutex_);
            ++killed_;
        }
        if (process.pid <= 0) {
            Start(process);
        }
        // Long-lived extractors grow; a worker is replaced between requests, never during one.
        if (process.pid > 0 && (process.served >= settings_.requestsPerWorker ||
                                ResidentBytes(process.pid) > settings_.memoryLimitBytes)) {
            Retire(process);
            {
                std::lock_guard lock(mutex_);
                ++replaced_;
            }
            Start(process);
        }
    }
    if (process.pid > 0) {
        Retire(process);
    }
}

}  // namespace resolver
