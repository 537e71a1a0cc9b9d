// The service as a process, with a misbehaving stand-in for the extraction worker: time limits,
// replacement, the queue, refusals, the rate limit, sharing and a clean stop; with a real Redis
// that fails, hangs and comes back, and an instance that dies in the middle of an extraction.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "redis_store.h"
#include "service_harness.h"

namespace resolver::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;

constexpr const char* kSite = "http://127.0.0.1:9";

std::vector<std::string> FakeArgs(std::vector<std::string> more) {
    std::vector<std::string> args = {"--python", FakeWorker(),      "--rate",
                                     "0",        "--allow-address", "127.0.0.1/32"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Points the fake worker's request log at a file of the test's own.
class FakeLog {
  public:
    FakeLog() : path_(dir_.File("extractions")) { setenv("REELHAWK_FAKE_LOG", path_.c_str(), 1); }
    ~FakeLog() { unsetenv("REELHAWK_FAKE_LOG"); }
    int Count() const { return CountLines(path_); }
    std::set<std::string> Pids() const {
        std::set<std::string> pids;
        std::istringstream lines(ReadFile(path_));
        for (std::string pid, url; lines >> pid >> url;) {
            pids.insert(pid);
        }
        return pids;
    }

  private:
    TempDir dir_;
    std::string path_;
};

std::string ErrorCode(const httplib::Result& r) {
    const json body = json::parse(r->body, nullptr, false);
    return body.contains("error") ? body["error"].value("code", "") : "";
}

json Health(const RunningService& s) {
    const auto r = s.Get("/healthz");
    return r ? json::parse(r->body, nullptr, false) : json();
}

// Waits, at most 5 s, until the service has exactly this many processes below it.
bool SettlesAt(const RunningService& s, std::size_t count) {
    for (int i = 0; i < 100; ++i) {
        if (s.Descendants().size() == count) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// New fake workers say they are ready only while the gate is open, naming its text as their
// yt-dlp version; while it is closed they stay warming up.
class ReadyGate {
  public:
    ReadyGate() : path_(dir_.File("ready")) { setenv("REELHAWK_FAKE_READY", path_.c_str(), 1); }
    ~ReadyGate() { unsetenv("REELHAWK_FAKE_READY"); }
    void Open(const std::string& version) {
        std::ofstream(path_ + ".new") << version;
        std::rename((path_ + ".new").c_str(), path_.c_str());
    }
    void Close() { std::remove(path_.c_str()); }

  private:
    TempDir dir_;
    std::string path_;
};

// Asks /healthz until the condition holds, at most 10 s.
bool HealthBecomes(const RunningService& s, const std::function<bool(const json&)>& holds) {
    for (int i = 0; i < 200; ++i) {
        const json h = Health(s);
        if (h.is_object() && holds(h)) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST(Workers, EveryRequestIsAnsweredInTimeWhateverTheWorkerDoesAndNothingIsLeftBehind) {
    FakeLog log;
    RunningService service(FakeArgs({"--workers", "2", "--timeout", "2", "--cache-ttl", "0"}));
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(HealthBecomes(service, [](const json& h) { return h["workers"]["ready"] == 2; }));
    std::set<pid_t> seen;

    // /healthz keeps answering through all of it (503 while both workers were just killed and
    // their successors still warm up).
    std::atomic<bool> done = false;
    std::atomic<int> healthFailures = 0;
    std::atomic<int> healthAnswers = 0;
    std::thread health([&] {
        for (int i = 0; i < 600 && !done; ++i) {
            const auto r = service.Get("/healthz");
            (r && (r->status == 200 || r->status == 503) ? healthAnswers : healthFailures)++;
            std::this_thread::sleep_for(50ms);
        }
    });

    struct Case {
        const char* path;
        int status;
        const char* code;
    } cases[] = {
        {"/hang", 504, "timeout"},          {"/crash", 502, "worker_failed"},
        {"/garbage", 502, "worker_failed"}, {"/huge", 502, "worker_failed"},
        {"/spawn", 504, "timeout"},         {"/slow/700/late", 200, ""},
        {"/novideo", 422, "no_video"},      {"/stray", 200, ""},
        {"/video/fine", 200, ""},
    };
    for (const Case& c : cases) {
        const auto started = std::chrono::steady_clock::now();
        const auto r = service.ResolveJson(std::string(kSite) + c.path);
        const auto took = std::chrono::steady_clock::now() - started;
        ASSERT_TRUE(r) << c.path;
        EXPECT_EQ(r->status, c.status) << c.path << ": " << r->body;
        EXPECT_EQ(ErrorCode(r), c.code) << c.path;
        EXPECT_LT(took, 3s) << c.path << " took longer than its limit and a second";
        for (pid_t pid : service.Descendants()) {
            seen.insert(pid);
        }
    }
    // A line written out of turn (after /stray) is never taken for another request's answer.
    for (const char* name : {"a", "b", "c", "d"}) {
        const auto r = service.ResolveJson(std::string(kSite) + "/video/" + name);
        ASSERT_TRUE(r);
        EXPECT_EQ(json::parse(r->body).value("title", ""), name);
    }
    done = true;
    health.join();
    EXPECT_EQ(healthFailures, 0);
    EXPECT_GT(healthAnswers, 0);

    // Five workers were killed and replaced (six when /stray's worker was asked again); only the
    // two workers are left, no zombie, no orphan (the child that /spawn started was killed with its
    // worker's group and reaped).
    const json h = Health(service);
    EXPECT_EQ(h["workers"]["alive"], 2);
    EXPECT_GE(h["workers"]["killed"], 5);
    EXPECT_LE(h["workers"]["killed"], 6) << "the worker of /stray, at its next request";
    EXPECT_TRUE(SettlesAt(service, 2)) << service.Descendants().size() << " processes below";
    for (pid_t pid : service.Descendants()) {
        seen.insert(pid);
    }
    EXPECT_EQ(log.Count(), 13);

    const int status = service.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (pid_t pid : seen) {
        EXPECT_NE(kill(pid, 0), 0) << "process " << pid << " outlived the service";
    }
}

TEST(Workers, AreReplacedAfterTheirCountOrMemoryBySuccessorsThatWarmUpWhileTheyServe) {
    {
        FakeLog log;
        ReadyGate gate;
        gate.Open("1");
        RunningService service(FakeArgs({"--workers", "1", "--worker-requests", "3"}));
        ASSERT_TRUE(service.started());
        ASSERT_TRUE(HealthBecomes(service, [](const json& h) { return h["ready"] == true; }));
        // Past its count, the worker keeps serving while its successor cannot warm up.
        gate.Close();
        for (int i = 0; i < 8; ++i) {
            const auto r = service.ResolveJson(std::string(kSite) + "/video/n" + std::to_string(i));
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 200) << r->body;
        }
        EXPECT_EQ(log.Pids().size(), 1u) << "a request was given to a worker still warming up";
        EXPECT_EQ(Health(service)["workers"]["alive"], 2) << "one successor, warming up";
        // Warm, it takes over; the worker it replaces ends.
        gate.Open("2");
        EXPECT_TRUE(HealthBecomes(service, [](const json& h) {
            return h["workers"]["replaced"] == 1 && h["yt_dlp"] == "2";
        }));
        EXPECT_EQ(service.ResolveJson(std::string(kSite) + "/video/last")->status, 200);
        EXPECT_EQ(log.Pids().size(), 2u);
        EXPECT_TRUE(SettlesAt(service, 1));
        // A worker started while the service listened and served holds none of its sockets (a
        // connection the service closed would stay open in it, the port bound after it ended).
        for (pid_t worker : service.Descendants()) {
            std::error_code error;
            int sockets = 0;
            for (const auto& fd : std::filesystem::directory_iterator(
                     "/proc/" + std::to_string(worker) + "/fd", error)) {
                sockets += std::filesystem::read_symlink(fd.path(), error).string().starts_with(
                    "socket:");
            }
            EXPECT_EQ(sockets, 0) << "worker " << worker;
        }
    }
    {
        FakeLog log;
        RunningService service(FakeArgs({"--workers", "1", "--worker-memory", "64"}));
        ASSERT_TRUE(service.started());
        for (int i = 0; i < 3; ++i) {
            const auto r = service.ResolveJson(std::string(kSite) + "/grow?" + std::to_string(i));
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 200) << r->body;
        }
        // 40 MB a request: a worker passes 64 MB at its second request.
        EXPECT_TRUE(HealthBecomes(service, [](const json& h) {
            return h["workers"]["replaced"] >= 1 && h["workers"]["killed"] == 0;
        }));
    }
}

TEST(Workers, SighupReplacesEveryWorkerOneAtATimeWhileTheOldOnesServe) {
    FakeLog log;
    ReadyGate gate;
    gate.Open("old");
    RunningService service(FakeArgs({"--workers", "2", "--cache-ttl", "0"}));
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(HealthBecomes(
        service, [](const json& h) { return h["workers"]["ready"] == 2 && h["yt_dlp"] == "old"; }));
    gate.Close();
    auto inFlight = std::async(std::launch::async, [&] {
        return service.ResolveJson(std::string(kSite) + "/slow/1000/inflight");
    });
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(kill(service.pid(), SIGHUP), 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(service.ResolveJson(std::string(kSite) + "/video/r" + std::to_string(i))->status,
                  200);
    }
    EXPECT_EQ(inFlight.get()->status, 200);
    // One successor at a time: the second waits for the first to be warm.
    const json during = Health(service);
    EXPECT_EQ(during["workers"]["started"], 3) << during;
    EXPECT_EQ(during["yt_dlp"], "old");
    gate.Open("new");
    EXPECT_TRUE(HealthBecomes(service, [](const json& h) {
        return h["workers"]["replaced"] == 2 && h["workers"]["ready"] == 2 && h["yt_dlp"] == "new";
    })) << Health(service);
    EXPECT_EQ(Health(service)["workers"]["started"], 4);
    EXPECT_TRUE(SettlesAt(service, 2));
    EXPECT_EQ(log.Pids().size(), 2u) << "a request went to a worker still warming up";
}

TEST(Workers, OneNotReadyInTimeIsKilledAndStartedAgainWhileRequestsWaitOnlyTheirOwnTime) {
    ReadyGate gate;
    RunningService service(FakeArgs({"--workers", "1", "--timeout", "1"}));
    ASSERT_TRUE(service.started());
    EXPECT_TRUE(HealthBecomes(service, [](const json& h) {
        return h["workers"]["not_ready"] >= 1 && h["ready"] == false;
    }));
    EXPECT_EQ(service.Get("/healthz")->status, 503);
    const auto waited = service.ResolveJson(std::string(kSite) + "/video/early");
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->status, 504) << waited->body;
    gate.Open("late");
    EXPECT_TRUE(HealthBecomes(service, [](const json& h) { return h["ready"] == true; }));
    EXPECT_EQ(service.ResolveJson(std::string(kSite) + "/video/late")->status, 200);
}

TEST(Workers, AFullQueueIsAnsweredAtOnceWith503AndRetryAfter) {
    FakeLog log;
    RunningService service(FakeArgs({"--workers", "1", "--queue", "1", "--timeout", "10"}));
    ASSERT_TRUE(service.started());
    auto first = std::async(std::launch::async, [&] {
        return service.ResolveJson(std::string(kSite) + "/slow/1500/a");
    });
    std::this_thread::sleep_for(400ms);
    auto second = std::async(
        std::launch::async, [&] { return service.ResolveJson(std::string(kSite) + "/slow/10/b"); });
    std::this_thread::sleep_for(400ms);
    const auto third = service.ResolvePage(std::string(kSite) + "/video/c");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->status, 503);
    EXPECT_EQ(third->get_header_value("Retry-After"), "5");
    EXPECT_THAT(third->body, HasSubstr("busy"));
    EXPECT_EQ(first.get()->status, 200);
    EXPECT_EQ(second.get()->status, 200);
    EXPECT_EQ(log.Count(), 2);
}

TEST(Addresses, BadOrInternalOnesAreRefusedWith400AndNeverReachAWorker) {
    FakeLog log;
    RunningService service(
        {"--python", FakeWorker(), "--rate", "0", "--allow-address", "127.0.0.1/32"});
    RunningService strict({"--python", FakeWorker(), "--rate", "0"});
    ASSERT_TRUE(service.started() && strict.started());
    struct Case {
        const RunningService* service;
        std::string address;
        const char* code;
        const char* why;
    } cases[] = {
        {&strict, "file:///etc/passwd", "bad_address", "Only http and https"},
        {&strict, "javascript:alert(1)", "bad_address", "Only http and https"},
        {&strict, "http://example.test/" + std::string(3000, 'a'), "bad_address", "2,083"},
        {&strict, "", "bad_address", "No address"},
        {&strict, "http://user@example.test/", "bad_address", "user name"},
        {&strict, "http://127.0.0.1/video/x", "address_refused", "internal"},
        {&strict, "http://10.0.0.1/video/x", "address_refused", "internal"},
        {&strict, "http://[::1]:8080/", "address_refused", "internal"},
        {&strict, "http://[::ffff:192.168.1.1]/", "address_refused", "internal"},
        {&strict, "http://2130706433/", "address_refused", "127.0.0.1"},
        {&strict, "http://localhost/", "address_refused", "internal"},
        {&service, "http://127.0.0.2/video/x", "address_refused", "internal"},
        {&service, "http://169.254.169.254/latest/meta-data/", "address_refused", "internal"},
    };
    for (const Case& c : cases) {
        const auto json = c.service->ResolveJson(c.address);
        const auto page = c.service->ResolvePage(c.address);
        ASSERT_TRUE(json && page);
        EXPECT_EQ(json->status, 400) << c.address;
        EXPECT_EQ(ErrorCode(json), c.code) << c.address;
        EXPECT_EQ(page->status, 400);
        EXPECT_THAT(page->body, HasSubstr(c.why)) << c.address;
    }
    EXPECT_EQ(log.Count(), 0);
    // The one range let through is let through.
    EXPECT_EQ(service.ResolveJson("http://127.0.0.1/video/x")->status, 200);
    EXPECT_EQ(log.Count(), 1);
}

TEST(RateLimit, CountsEveryRequestOfAClientCachedOrNotButNotHealth) {
    FakeLog log;
    RunningService service(
        {"--python", FakeWorker(), "--rate", "3/60", "--allow-address", "127.0.0.1/32"});
    ASSERT_TRUE(service.started());
    const std::string address = std::string(kSite) + "/video/v";
    const httplib::Result answers[] = {service.Get("/"), service.ResolveJson(address),
                                       service.ResolvePage(address)};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(answers[i]);
        EXPECT_EQ(answers[i]->status, 200);
        EXPECT_EQ(answers[i]->get_header_value("RateLimit-Limit"), "3");
        EXPECT_EQ(answers[i]->get_header_value("RateLimit-Remaining"), std::to_string(2 - i));
    }
    EXPECT_EQ(answers[2]->get_header_value("X-Cache"), "hit");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(service.Get("/healthz")->status, 200);
    }
    const auto limited = service.ResolveJson(address);
    ASSERT_TRUE(limited);
    EXPECT_EQ(limited->status, 429);
    EXPECT_EQ(ErrorCode(limited), "rate_limited");
    const int retry = std::stoi(limited->get_header_value("Retry-After"));
    EXPECT_GT(retry, 50);
    EXPECT_LE(retry, 60);
    EXPECT_EQ(limited->get_header_value("RateLimit-Remaining"), "0");
    EXPECT_EQ(limited->get_header_value("RateLimit-Policy"), "3;w=60");
    EXPECT_EQ(log.Count(), 1);
}

TEST(Sharing, IdenticalRequestsInFlightShareOneExtractionAndTheResultIsKept) {
    FakeLog log;
    RunningService service(FakeArgs({"--workers", "2"}));
    ASSERT_TRUE(service.started());
    const std::string address = std::string(kSite) + "/slow/800/shared";
    std::vector<std::future<httplib::Result>> burst;
    for (int i = 0; i < 6; ++i) {
        burst.push_back(
            std::async(std::launch::async, [&] { return service.ResolveJson(address); }));
    }
    for (auto& answer : burst) {
        const auto r = answer.get();
        ASSERT_TRUE(r);
        EXPECT_EQ(json::parse(r->body)["title"], "shared");
    }
    EXPECT_EQ(log.Count(), 1);
    const auto again = service.ResolvePage(address);
    EXPECT_EQ(again->get_header_value("X-Cache"), "hit");
    EXPECT_EQ(log.Count(), 1);
    // One access-log line a request, with the address asked and whether it came from the cache.
    // (A line is written once its answer has gone out.)
    std::string accessLog = service.AccessLog();
    for (int i = 0; i < 40 && std::count(accessLog.begin(), accessLog.end(), '\n') < 7; ++i) {
        std::this_thread::sleep_for(50ms);
        accessLog = service.AccessLog();
    }
    EXPECT_EQ(std::count(accessLog.begin(), accessLog.end(), '\n'), 7);
    EXPECT_THAT(accessLog, HasSubstr("200 GET \"/resolve\" \"" + address + "\""));
    EXPECT_THAT(accessLog, HasSubstr("cache=hit"));
}

TEST(Stopping, SigtermFinishesTheRequestInFlightThenEndsTheWorkers) {
    FakeLog log;
    RunningService service(FakeArgs({"--workers", "2"}));
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(SettlesAt(service, 2));
    const std::vector<pid_t> workers = service.Descendants();
    auto inFlight = std::async(std::launch::async, [&] {
        return service.ResolveJson(std::string(kSite) + "/slow/1500/last");
    });
    std::this_thread::sleep_for(400ms);
    const int port = service.port();
    const int status = service.Stop();
    const auto r = inFlight.get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (pid_t pid : workers) {
        EXPECT_NE(kill(pid, 0), 0);
    }
    httplib::Client client("127.0.0.1", port);
    EXPECT_FALSE(client.Get("/healthz")) << "still taking requests after it stopped";
}

TEST(Stopping, ASecondInstanceOnTheSamePortRefusesToStartRatherThanShareIt) {
    RunningService first(FakeArgs({"--workers", "1"}));
    ASSERT_TRUE(first.started());
    TempDir dir;
    const pid_t second =
        Spawn({ServiceBinary(), "--listen", "127.0.0.1:" + std::to_string(first.port()), "--python",
               FakeWorker(), "--workers", "1"},
              "", dir.File("stderr"));
    ASSERT_GT(second, 0);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(second, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    kill(-second, SIGKILL);
    waitpid(second, nullptr, WNOHANG);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_THAT(ReadFile(dir.File("stderr")), HasSubstr("cannot listen"));
}

// A redis-server of the test's own on a free port, writing nothing to disk, ended by its PID.
class RedisServer {
  public:
    RedisServer() : port_(FreePort()) {}
    ~RedisServer() { Stop(); }

    bool Start() {
        pid_ = Spawn({"/usr/bin/redis-server", "--port", std::to_string(port_), "--bind",
                      "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", dir_.path()},
                     "", "");
        for (int i = 0; i < 100 && pid_ > 0; ++i) {
            if (Command("PING") == "+PONG") {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGCONT);
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    void Signal(int signal) const { kill(pid_, signal); }

    // One command (words without spaces); the first line of the reply, empty when there is none.
    std::string Command(const std::string& words) const {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{1, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string reply;
        const std::string line = words + "\r\n";
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            write(s, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            char buffer[512];
            const ssize_t n = read(s, buffer, sizeof buffer);
            reply.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        close(s);
        return reply.substr(0, reply.find("\r\n"));
    }

    std::string Address() const { return "redis://127.0.0.1:" + std::to_string(port_); }

  private:
    static int FreePort() {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
        close(s);
        return ntohs(a.sin_port);
    }

    TempDir dir_;
    int port_;
    pid_t pid_ = -1;
};

bool HaveRedis() {
    return access("/usr/bin/redis-server", X_OK) == 0;
}

// Asks for a new address and /healthz until /healthz says how Redis is, at most 5 s.
bool RedisBecomes(const RunningService& s, const std::string& state) {
    for (int i = 0; i < 50; ++i) {
        s.ResolveJson(std::string(kSite) + "/video/poll" + std::to_string(i));
        if (Health(s).value("redis", "") == state) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

TEST(Redis, GoneFullOrHungTheInstanceAnswersFromItsMemoryAndSaysSoOnceThenSharesAgain) {
    if (!HaveRedis()) {
        GTEST_SKIP() << "redis-server is not installed";
    }
    FakeLog log;
    RedisServer redis;
    RunningService a(FakeArgs({"--workers", "1", "--redis", redis.Address()}));
    ASSERT_TRUE(a.started());
    auto stderrOf = [](const RunningService& s) {
        return ReadFile("/proc/" + std::to_string(s.pid()) + "/fd/2");
    };
    auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    // Nothing on Redis's port yet: ready all the same once its worker is (answered from memory,
    // kept there).
    for (int i = 0; i < 100 && Health(a).value("ready", false) != true; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(Health(a)["ready"], true);
    EXPECT_EQ(Health(a)["redis"], "fallback");
    EXPECT_EQ(a.ResolveJson(std::string(kSite) + "/video/m")->status, 200);
    EXPECT_EQ(a.ResolveJson(std::string(kSite) + "/video/m")->get_header_value("X-Cache"), "hit");

    // Redis comes: shared with a second instance.
    ASSERT_TRUE(redis.Start());
    ASSERT_TRUE(RedisBecomes(a, "connected"));
    RunningService b(FakeArgs({"--workers", "1", "--redis", redis.Address()}));
    ASSERT_TRUE(b.started());
    EXPECT_EQ(a.ResolveJson(std::string(kSite) + "/video/s")->get_header_value("X-Cache"), "miss");
    EXPECT_EQ(b.ResolveJson(std::string(kSite) + "/video/s")->get_header_value("X-Cache"), "hit");

    // Redis full (every write refused with an error): answered all the same.
    redis.Command("CONFIG SET maxmemory-policy noeviction");
    redis.Command("CONFIG SET maxmemory 1");
    const auto full = a.ResolveJson(std::string(kSite) + "/video/full");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->status, 200);
    EXPECT_EQ(json::parse(full->body)["title"], "full");
    EXPECT_EQ(Health(a)["redis"], "fallback");
    redis.Command("CONFIG SET maxmemory 0");
    EXPECT_TRUE(RedisBecomes(a, "connected"));

    // Redis hung: each request waits at most the short time limit once, then memory serves.
    redis.Signal(SIGSTOP);
    for (const char* name : {"hung1", "hung2", "hung3"}) {
        const auto started = std::chrono::steady_clock::now();
        const auto r = a.ResolveJson(std::string(kSite) + "/video/" + name);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << name;
    }
    EXPECT_EQ(Health(a)["redis"], "fallback");
    redis.Signal(SIGCONT);
    EXPECT_TRUE(RedisBecomes(a, "connected"));

    // Three failures, each said once, and three returns.
    const std::string said = stderrOf(a);
    EXPECT_EQ(count(said, "failed ("), 3u) << said;
    EXPECT_EQ(count(said, "is back:"), 3u) << said;
    EXPECT_THAT(said, HasSubstr("(Connection refused)"));
    EXPECT_THAT(said, HasSubstr("OOM"));
    EXPECT_THAT(said, HasSubstr("(no answer within 200 ms)"));
}

TEST(Redis, AnExtractionOutlivingItsLockIsStillSharedAndOneWhoseInstanceDiedIsTakenOver) {
    if (!HaveRedis()) {
        GTEST_SKIP() << "redis-server is not installed";
    }
    FakeLog log;
    RedisServer redis;
    ASSERT_TRUE(redis.Start());
    RunningService a(FakeArgs({"--workers", "1", "--redis", redis.Address()}));
    RunningService b(FakeArgs({"--workers", "1", "--redis", redis.Address()}));
    ASSERT_TRUE(a.started() && b.started());

    // Waits, at most 5 s, until an instance holds the lock on the address's extraction.
    auto locked = [&](const std::string& address) {
        for (int i = 0; i < 100; ++i) {
            if (redis.Command("EXISTS " + RedisAddressKey("lock", address)) == ":1") {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    };

    // Longer than a lock lasts unless renewed: b waits for a's extraction all along.
    const std::string longer = std::string(kSite) + "/slow/3500/longer";
    auto first = std::async(std::launch::async, [&] { return a.ResolveJson(longer); });
    ASSERT_TRUE(locked(longer));
    const auto second = b.ResolveJson(longer);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 200);
    EXPECT_EQ(second->get_header_value("X-Cache"), "shared");
    EXPECT_EQ(first.get()->get_header_value("X-Cache"), "miss");
    EXPECT_EQ(log.Count(), 1);

    // a dies in the middle of an extraction: b, waiting for it, extracts once its lock is gone.
    const std::string orphan = std::string(kSite) + "/slow/1000/orphan";
    auto dying = std::async(std::launch::async, [&] { return a.ResolveJson(orphan); });
    ASSERT_TRUE(locked(orphan));
    auto waiting = std::async(std::launch::async, [&] { return b.ResolveJson(orphan); });
    std::this_thread::sleep_for(300ms);
    kill(a.pid(), SIGKILL);
    const auto taken = waiting.get();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->status, 200) << taken->body;
    EXPECT_EQ(json::parse(taken->body)["title"], "orphan");
    EXPECT_EQ(taken->get_header_value("X-Cache"), "miss");
    EXPECT_FALSE(dying.get());
    EXPECT_EQ(log.Count(), 3);
}

}  // namespace
}  // namespace resolver::test
