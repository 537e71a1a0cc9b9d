// The resolver service run as its own process for a test, on a port of its choosing, and ended by
// its PID when the test ends.
#pragma once

#include <httplib.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace resolver::test {

// A folder of its own under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
int CountLines(const std::string& path);

// Starts a program in a process group of its own, stdin from /dev/null, stdout and stderr into
// the files named (or /dev/null). Returns its PID, or -1 when it could not be started.
pid_t Spawn(std::vector<std::string> args, const std::string& out, const std::string& err);

// Percent-encodes a query parameter's value.
std::string QueryValue(const std::string& text);

class RunningService {
  public:
    // Starts the service with the arguments (--listen 127.0.0.1:0 is added) and waits, at most
    // 10 s, for it to say where it listens. Fails the calling test when it does not.
    explicit RunningService(const std::vector<std::string>& args);
    ~RunningService();

    // SIGTERM, then up to 10 s to end (SIGKILL after that). Returns the exit status as waitpid
    // gives it, or -1 when it had to be killed.
    int Stop();

    bool started() const { return port_ > 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    std::string AccessLog() const { return ReadFile(dir_.File("stdout")); }

    // A GET on the service; a fresh connection each time.
    httplib::Result Get(const std::string& path, const httplib::Headers& headers = {}) const;
    // GET /api/resolve?url=ADDRESS, and the same for the result page.
    httplib::Result ResolveJson(const std::string& address) const;
    httplib::Result ResolvePage(const std::string& address) const;

    // Every process below the service, orphans it adopted included.
    std::vector<pid_t> Descendants() const;

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// The program and the scripts, as the build placed them.
std::string ServiceBinary();
std::string FakeWorker();

}  // namespace resolver::test
