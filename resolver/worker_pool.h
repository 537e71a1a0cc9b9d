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
    std::chrono::milliseconds timeout{30'000};
    int requestsPerWorker = 500;                    // a worker is replaced after this many requests
    std::uint64_t memoryLimitBytes = 512ull << 20;  // ... or once its resident memory passes this
    std::size_t maxAnswerBytes = 8u << 20;
};

// What the pool has been through, for /healthz and the tests.
struct PoolStatus {
    int alive = 0;               // worker processes running
    int busy = 0;                // of them, working on a request
    int queued = 0;              // requests waiting
    std::uint64_t started = 0;   // processes started in all
    std::uint64_t replaced = 0;  // retired between requests (request count or memory)
    std::uint64_t killed = 0;    // killed for overrunning, dying or a bad answer
};

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
        std::uint64_t asked = 0;  // the number of the last request sent
        bool tainted = false;     // wrote more than its answer
    };

    void Run();
    bool Start(Process& process);
    void Kill(Process& process);
    void Retire(Process& process);
    Outcome Ask(Process& process, const Job& job);
    // True when the worker has written nothing and is still there (its output neither readable
    // nor closed). This function can't fail.
    bool Quiet(const Process& process) const;
    std::uint64_t ResidentBytes(pid_t pid) const;

    WorkerSettings settings_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    int alive_ = 0;
    int busy_ = 0;
    std::uint64_t started_ = 0;
    std::uint64_t replaced_ = 0;
    std::uint64_t killed_ = 0;
    std::vector<std::thread> threads_;
};

// Maps a worker's failure code to the HTTP status the service answers with.
int StatusForWorkerCode(const std::string& code);

}  // namespace resolver
