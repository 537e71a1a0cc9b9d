// worker_pool: long-lived extraction workers (Python processes running yt-dlp), each answering
// one JSON line per request line, with time limits, size limits and replacement.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "resolution.h"

namespace resolver {

struct WorkerSettings {
    std::string python =
        "/usr/bin/python3";  // the interpreter, or any program that speaks the protocol
    std::string script;      // the worker script given to it
    std::vector<std::string> scriptArgs;  // after the script
    int workers = 1;
    int queue = 64;  // requests waiting for a worker, beyond those being worked on
    std::chrono::milliseconds timeout{30'000};      // per request; also a new worker's warm-up
    int requestsPerWorker = 500;                    // a worker is replaced after this many requests
    std::uint64_t memoryLimitBytes = 512ull << 20;  // ... or once its resident memory passes this
    std::size_t maxAnswerBytes = 8u << 20;
    // Called with the yt-dlp versions of the workers taking requests (as PoolStatus::versions,
    // joined by ", ") whenever they change; from a worker's thread.
    std::function<void(const std::string&)> versionsChanged;
};

// What the pool has been through, for /healthz and the tests.
struct PoolStatus {
    int alive = 0;                      // worker processes running
    int busy = 0;                       // of them, working on a request
    int queued = 0;                     // requests waiting
    std::uint64_t started = 0;          // processes started in all
    std::uint64_t replaced = 0;         // retired between requests (count, memory or a reload)
    std::uint64_t killed = 0;           // killed for overrunning, dying or a bad answer
    int ready = 0;                      // workers warmed up and taking requests
    std::uint64_t notReady = 0;         // killed for not saying they were ready in time
    std::vector<std::string> versions;  // yt-dlp versions of the ready workers, each once
};

// Each worker is started, warms up (its first line says it is ready, and which yt-dlp it runs) and
// only then takes requests. A worker due for replacement (its request count, its memory, a reload)
// keeps serving while its successor warms up beside it, one successor in the pool at a time; the
// successor takes over between two requests, so no request waits for a warm-up.
class WorkerPool {
  public:
    // Starts one thread per worker, each of which starts its process at once and keeps one.
    explicit WorkerPool(WorkerSettings settings);
    // Stop(), then waits for the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Extracts what yt-dlp knows about the address and calls done once with the outcome, from
    // the pool's thread, or at once from the caller's when the request is not taken. It is
    // answered by the deadline (queueing included) plus the time to kill a worker. A failure
    // outcome: "busy" (503) when the queue is full, "stopping" (503) after Stop(), "timeout"
    // (504), "worker_failed" (502) when the worker died or wrote no valid answer, or the worker's
    // own failure (no_video, fetch_failed, address_refused, ...).
    void Extract(const std::string& address, std::chrono::steady_clock::time_point deadline,
                 std::function<void(Outcome)> done);

    // Takes no more requests; those queued and in flight are finished, then the workers end.
    void Stop();

    // Replaces every worker, one at a time, each by a successor started from now on (a new
    // yt-dlp behind --python, say), warm before it takes requests. This function can't fail.
    void Reload();

    PoolStatus Status() const;

  private:
    struct Job {
        std::string address;
        std::chrono::steady_clock::time_point deadline;
        std::function<void(Outcome)> done;
    };
    struct Process {
        pid_t pid = -1;
        int in = -1;   // the worker's stdin
        int out = -1;  // the worker's stdout
        int served = 0;
        std::uint64_t asked = 0;                        // the number of the last request sent
        bool tainted = false;                           // wrote more than its answer
        bool ready = false;                             // said it was ready: takes requests
        std::string version;                            // the yt-dlp it runs, as it said
        std::string said;                               // its first line, while it is not whole
        std::chrono::steady_clock::time_point readyBy;  // killed when not ready by then
        std::uint64_t generation = 0;                   // the reload it was started after
    };
    enum class Warmth { Warming, Ready, Failed };

    void Run(std::size_t slot);
    bool Start(Process& process);
    // Reads what a new worker has said so far, without waiting. Ready once its first line says
    // so; Failed when it ended, or said anything else. This function can't fail.
    Warmth Warm(Process& process);
    void Kill(Process& process);
    void Retire(Process& process);
    // Hands a worker to the retiring thread, so that its ending costs the slot no time.
    void RetireLater(Process process);
    void Retirer();
    // Records which yt-dlp the slot's worker runs (empty: it has no worker taking requests).
    void Publish(std::size_t slot, const std::string& version);
    Outcome Ask(Process& process, const Job& job);
    // True when the worker has written nothing and is still there (its output neither readable
    // nor closed). This function can't fail.
    bool Quiet(const Process& process) const;
    std::uint64_t ResidentBytes(pid_t pid) const;

    WorkerSettings settings_;
    mutable std::mutex mutex_;
    std::mutex publishing_;  // taken before mutex_, never after
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    int alive_ = 0;
    int busy_ = 0;
    std::uint64_t started_ = 0;
    std::uint64_t replaced_ = 0;
    std::uint64_t killed_ = 0;
    std::uint64_t notReady_ = 0;
    std::uint64_t generation_ = 0;           // reloads asked for
    bool successorWarming_ = false;          // a slot's planned successor is warming up
    std::vector<std::string> slotVersions_;  // per slot: its ready worker's yt-dlp, or empty
    std::deque<Process> retiring_;
    bool retirerStopping_ = false;
    std::condition_variable retire_;
    std::thread retirer_;
    std::vector<std::thread> threads_;
};

// The yt-dlp version the worker script would run with this Python: what `python -I -B script
// --version` prints within 10 s. Returns an empty text when it printed nothing, failed or was
// too slow (it is then killed).
std::string AskYtDlpVersion(const std::string& python, const std::string& script);

// Maps a worker's failure code to the HTTP status the service answers with.
int StatusForWorkerCode(const std::string& code);

}  // namespace resolver
