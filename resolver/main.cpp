// reelhawk-resolver: the video-address resolving page that Reelhawk drives, and a JSON API, on
// yt-dlp. Ends cleanly on SIGTERM or SIGINT: no new requests, those in flight finished. SIGHUP
// replaces the workers one at a time (a new yt-dlp behind --python, say) without failing any.
#include <signal.h>
#include <sys/resource.h>

#include <thread>

#include "http_front.h"
#include "options.h"

int main(int argc, char** argv) {
    int exitCode = 0;
    const auto options = resolver::ParseOptions(argc, argv, &exitCode);
    if (!options) {
        return exitCode;
    }
    // Every connection is a descriptor (a tunnelled download two): as many as the system lets us.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // Writes to a worker that has died must fail, not end the service.
    signal(SIGPIPE, SIG_IGN);
    // The stop and reload signals are taken by one thread; every other thread (and so every
    // worker's thread) starts with them blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    resolver::Service service(*options);
    if (!service.Bind()) {
        return 1;
    }
    std::thread([&service, stop] {
        int signal = 0;
        while (sigwait(&stop, &signal) == 0 && signal == SIGHUP) {
            service.Reload();
        }
        service.Stop();
    }).detach();
    service.Run();
    return 0;
}
