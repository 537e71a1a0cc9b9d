#include "service_harness.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace resolver::test {

TempDir::TempDir() {
    char name[] = "/tmp/reelhawk-resolver-test.XXXXXX";
    path_ = mkdtemp(name);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int CountLines(const std::string& path) {
    const std::string text = ReadFile(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

std::string QueryValue(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || ch == '-' || ch == '_' || ch == '.' || ch == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

pid_t Spawn(std::vector<std::string> args, const std::string& out, const std::string& err) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.empty() ? "/dev/null" : out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.empty() ? "/dev/null" : err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? pid : -1;
}

std::string ServiceBinary() {
    return RESOLVER_BINARY;
}
std::string FakeWorker() {
    return RESOLVER_FAKE_WORKER;
}

RunningService::RunningService(const std::vector<std::string>& args) {
    std::vector<std::string> all = {ServiceBinary(), "--listen", "127.0.0.1:0"};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = Spawn(all, dir_.File("stdout"), dir_.File("stderr"));
    if (pid_ <= 0) {
        ADD_FAILURE() << "cannot start " << all[0];
        return;
    }
    const std::regex listening("listening on http://127\\.0\\.0\\.1:([0-9]+)/");
    for (int i = 0; i < 200; ++i) {
        std::smatch m;
        const std::string err = ReadFile(dir_.File("stderr"));
        if (std::regex_search(err, m, listening)) {
            port_ = std::stoi(m[1]);
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "the service ended at start: " << err;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the service did not say where it listens";
}

RunningService::~RunningService() {
    Stop();
}

int RunningService::Stop() {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    ADD_FAILURE() << "the service did not end within 10 s of SIGTERM";
    return -1;
}

httplib::Result RunningService::Get(const std::string& path,
                                    const httplib::Headers& headers) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(60, 0);
    return client.Get(path.c_str(), headers);
}

httplib::Result RunningService::ResolveJson(const std::string& address) const {
    return Get("/api/resolve?url=" + QueryValue(address));
}

httplib::Result RunningService::ResolvePage(const std::string& address) const {
    return Get("/resolve?url=" + QueryValue(address));
}

std::vector<pid_t> RunningService::Descendants() const {
    std::map<pid_t, pid_t> parent;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) {
            continue;
        }
        const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        parent[pid] = ppid;
    }
    if (proc) {
        closedir(proc);
    }
    std::vector<pid_t> below;
    for (const auto& [pid, ppid] : parent) {
        for (pid_t p = ppid; p > 1; p = parent.count(p) ? parent[p] : 0) {
            if (p == pid_) {
                below.push_back(pid);
                break;
            }
        }
    }
    return below;
}

}  // namespace resolver::test
