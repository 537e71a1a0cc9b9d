// The service with the real yt-dlp against a sample video site served here on 127.0.0.1, and an
// "internal" server on 127.0.0.2 that the extraction must never reach.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "service_harness.h"

namespace resolver::test {
namespace {

using nlohmann::json;
using testing::ElementsAreArray;
using testing::HasSubstr;

// A file's bytes: its name, then a pattern, so that two files never look alike.
std::string FileBytes(const std::string& name) {
    std::string bytes = "sample video file " + name + "\n";
    for (int i = 0; bytes.size() < 4096; ++i) {
        bytes += static_cast<char>('a' + (i * 7 + static_cast<int>(name.size())) % 26);
    }
    return bytes;
}

std::string Playlist(const std::string& segment) {
    return "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\n" + segment + "\n#EXT-X-ENDLIST\n";
}

// What the sample site serves for a file of that name.
std::string Served(const std::string& name) {
    return name.ends_with(".m3u8") ? Playlist("segment.ts") : FileBytes(name);
}

// An HTTP server on its own thread, answering from a table of pages and counting requests.
class Site {
  public:
    explicit Site(const std::string& host) : host_(host) {
        server_.set_logger([this](const httplib::Request& req, const httplib::Response&) {
            ++requests_;
            std::lock_guard lock(mutex_);
            cookies_.emplace_back(req.path, req.get_header_value("Cookie"));
        });
        port_ = server_.bind_to_any_port(host);
    }
    // Serves the pages added so far (the socket already listens, so nothing is missed).
    void Start() {
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~Site() {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void Page(const std::string& path, const std::string& title, const std::string& body) {
        server_.Get(path, [=](const httplib::Request&, httplib::Response& res) {
            res.set_content("<!DOCTYPE html><html><head><title>" + title + "</title></head><body>" +
                                body + "</body></html>",
                            "text/html; charset=utf-8");
        });
    }
    void File(const std::string& name, const char* type) {
        server_.Get("/files/" + name, [=](const httplib::Request&, httplib::Response& res) {
            res.set_content(Served(name), type);
        });
    }
    void Redirect(const std::string& path, const std::string& to) {
        server_.Get(path,
                    [=](const httplib::Request&, httplib::Response& res) { res.set_redirect(to); });
    }
    // A page with a video that sets a cookie, or one that answers only after a while.
    void CookiePage(const std::string& path, const std::string& cookie) {
        server_.Get(path, [=](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", cookie + "; Path=/");
            res.set_content("<html><body><video src=\"/files/clip.mp4\"></video></body></html>",
                            "text/html");
        });
    }
    void SlowPage(const std::string& path, std::chrono::milliseconds wait) {
        server_.Get(path, [=](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(wait);
            res.set_content("<html><body>late</body></html>", "text/html");
        });
    }
    std::string Url(const std::string& path) const {
        const bool v6 = host_.find(':') != std::string::npos;
        return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + path;
    }
    int requests() const { return requests_; }
    int port() const { return port_; }
    // The Cookie header each request for the path carried, in order.
    std::vector<std::string> CookiesSent(const std::string& path) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> sent;
        for (const auto& [p, cookie] : cookies_) {
            if (p == path) {
                sent.push_back(cookie);
            }
        }
        return sent;
    }

  private:
    std::string host_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> cookies_;
};

class RealExtractor : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Internal servers: on another loopback address, and on IPv6's.
        internal_ = new Site("127.0.0.2");
        internalV6_ = new Site("::1");
        for (Site* internal : {internal_, internalV6_}) {
            internal->Page("/one.html", "Internal", "<video src=\"/files/secret.mp4\"></video>");
            internal->File("secret.mp4", "video/mp4");
            internal->File("stream.m3u8", "application/vnd.apple.mpegurl");
            internal->Start();
        }

        site_ = new Site("127.0.0.1");
        site_->Page("/one.html", "One clip",
                    "<video controls><source src=\"/files/clip.mp4\" type=\"video/mp4\"></video>");
        site_->Page("/hls.html", "A stream",
                    "<video controls><source src=\"/files/stream.m3u8\" "
                    "type=\"application/x-mpegURL\"></video>");
        site_->Page("/two.html", "Two clips",
                    "<video src=\"/files/first.mp4\"></video><p>and</p><video "
                    "src=\"/files/second.mp4\"></video>");
        site_->Page("/none.html", "Nothing to see", "<p>No video here.</p>");
        site_->Redirect("/redirect.html", internal_->Url("/one.html"));
        site_->Redirect(
            "/redirect-mapped.html",
            "http://[::ffff:127.0.0.2]:" + std::to_string(internal_->port()) + "/one.html");
        site_->Redirect("/redirect-v6.html", internalV6_->Url("/one.html"));
        site_->CookiePage("/cookie-a.html", "visit=a1");
        site_->CookiePage("/cookie-b.html", "visit=b1");
        site_->SlowPage("/slow.html", std::chrono::milliseconds(5000));
        site_->Page("/internal-hls.html", "Stream elsewhere",
                    "<video><source src=\"" + internal_->Url("/files/stream.m3u8") +
                        "\" type=\"application/x-mpegURL\"></video>");
        for (const char* name : {"clip.mp4", "first.mp4", "second.mp4", "direct.mp4"}) {
            site_->File(name, "video/mp4");
        }
        site_->File("stream.m3u8", "application/vnd.apple.mpegurl");
        site_->Start();
        // A home folder whose yt-dlp configuration would send every request through a proxy
        // on an internal address: the workers must not read it (nor write anything there).
        home_ = new TempDir();
        std::filesystem::create_directories(home_->File(".config/yt-dlp"));
        std::ofstream(home_->File(".config/yt-dlp/config")) << "--proxy http://127.0.0.2:9/\n";
        setenv("HOME", home_->path().c_str(), 1);
        // One worker, so that each request follows the one before on the same worker; a page
        // has 3 s to answer (half the request's time).
        service_ = new RunningService(
            {"--workers", "1", "--rate", "0", "--allow-address", "127.0.0.1/32", "--timeout", "6"});
    }
    static void TearDownTestSuite() {
        delete service_;
        delete home_;
        delete site_;
        delete internal_;
        delete internalV6_;
    }

    // The addresses the result page links, as the program carves them (href is the only
    // attribute), and the JSON API's addresses, which must be the same.
    static std::vector<std::string> Listed(const std::string& address, int* status = nullptr) {
        const auto page = service_->ResolvePage(address);
        const auto api = service_->ResolveJson(address);
        EXPECT_TRUE(page && api);
        if (status != nullptr) {
            *status = api->status;
        }
        std::vector<std::string> links;
        const std::regex link("<a href=\"([^\"]*)\">[^<]*\\.(mp4|m3u8|flv)</a>");
        for (std::sregex_iterator it(page->body.begin(), page->body.end(), link), end; it != end;
             ++it) {
            links.push_back(std::regex_replace((*it)[1].str(), std::regex("&amp;"), "&"));
        }
        std::vector<std::string> files;
        const json body = json::parse(api->body);
        for (const json& file : body.value("files", json::array())) {
            files.push_back(file["url"]);
        }
        EXPECT_EQ(links, files) << page->body;
        return files;
    }

    static TempDir* home_;
    static Site* site_;
    static Site* internal_;
    static Site* internalV6_;
    static RunningService* service_;
};

TempDir* RealExtractor::home_ = nullptr;
Site* RealExtractor::site_ = nullptr;
Site* RealExtractor::internal_ = nullptr;
Site* RealExtractor::internalV6_ = nullptr;
RunningService* RealExtractor::service_ = nullptr;

TEST_F(RealExtractor, ListsExactlyTheSampleSitesFilesAndEachGivesItsBytes) {
    const struct {
        std::string page;
        std::vector<std::string> files;
    } cases[] = {
        {"/one.html", {"clip.mp4"}},
        {"/hls.html", {"stream.m3u8"}},
        {"/two.html", {"first.mp4", "second.mp4"}},
        {"/files/direct.mp4", {"direct.mp4"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> expected;
        for (const std::string& name : c.files) {
            expected.push_back(site_->Url("/files/" + name));
        }
        const std::vector<std::string> listed = Listed(site_->Url(c.page));
        EXPECT_THAT(listed, ElementsAreArray(expected)) << c.page;
        for (std::size_t i = 0; i < listed.size() && i < c.files.size(); ++i) {
            httplib::Client client("127.0.0.1", site_->port());
            const auto file = client.Get(listed[i].substr(listed[i].find("/files/")).c_str());
            ASSERT_TRUE(file);
            EXPECT_TRUE(file->body == Served(c.files[i])) << listed[i] << " gave other bytes";
        }
    }
    const auto hls = json::parse(service_->ResolveJson(site_->Url("/hls.html"))->body);
    EXPECT_EQ(hls["files"][0]["ext"], "m3u8");
    const auto two = json::parse(service_->ResolveJson(site_->Url("/two.html"))->body);
    EXPECT_EQ(two["files"][1]["part"], 2);
    EXPECT_THAT(service_->ResolvePage(site_->Url("/two.html"))->body, HasSubstr("Part 2"));
}

TEST_F(RealExtractor, APageWithoutVideoOrMissingListsNothingAndSaysWhy) {
    int status = 0;
    EXPECT_TRUE(Listed(site_->Url("/none.html"), &status).empty());
    EXPECT_EQ(status, 422);
    EXPECT_THAT(service_->ResolvePage(site_->Url("/none.html"))->body,
                HasSubstr("No video was found"));
    EXPECT_TRUE(Listed(site_->Url("/missing.html"), &status).empty());
    EXPECT_EQ(status, 502);
    EXPECT_THAT(service_->ResolvePage(site_->Url("/missing.html"))->body, HasSubstr("404"));
}

TEST_F(RealExtractor, ARedirectOrAPlaylistToAnInternalHostIsRefusedWhenConnecting) {
    const int before = internal_->requests() + internalV6_->requests();
    const struct {
        const char* page;
        const char* refused;  // the address the answer names
    } cases[] = {
        {"/redirect.html", "127.0.0.2"},
        {"/internal-hls.html", "127.0.0.2"},
        {"/redirect-mapped.html", "127.0.0.2"},  // IPv4 written as IPv6
        {"/redirect-v6.html", "::1"},
    };
    for (const auto& c : cases) {
        const auto r = service_->ResolveJson(site_->Url(c.page));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << c.page << ": " << r->body;
        const json body = json::parse(r->body);
        EXPECT_EQ(body["error"]["code"], "address_refused") << c.page;
        EXPECT_THAT(body["error"]["message"].get<std::string>(), HasSubstr(c.refused)) << c.page;
        // The refusal is the request's own: the same worker resolves the next page.
        const auto next =
            service_->ResolveJson(site_->Url(std::string("/one.html?after") + c.page));
        ASSERT_TRUE(next);
        EXPECT_EQ(next->status, 200) << "after " << c.page << ": " << next->body;
    }
    EXPECT_EQ(internal_->requests() + internalV6_->requests(), before)
        << "an internal server was reached";
}

TEST_F(RealExtractor, FailuresAreSaidInOnePlainSentence) {
    const struct {
        const char* page;
        const char* sentence;
    } cases[] = {
        {"/slow.html", "The page did not answer within 3 seconds."},
        {"/missing.html", "The page was not found (404)."},
        {"/none.html", "No video was found on this page."},
    };
    for (const auto& c : cases) {
        const auto page = service_->ResolvePage(site_->Url(c.page));
        ASSERT_TRUE(page);
        EXPECT_THAT(page->body, HasSubstr("<p class=\"error\">" + std::string(c.sentence) + "</p>"))
            << c.page;
    }
    // yt-dlp's own words stay for scripts.
    const json missing = json::parse(service_->ResolveJson(site_->Url("/missing.html"))->body);
    EXPECT_THAT(missing["error"].value("detail", ""), HasSubstr("404"));
}

TEST_F(RealExtractor, EveryRequestStartsWithAnEmptyCookieJar) {
    EXPECT_EQ(service_->ResolveJson(site_->Url("/cookie-a.html"))->status, 200);
    EXPECT_EQ(service_->ResolveJson(site_->Url("/cookie-b.html"))->status, 200);
    EXPECT_THAT(site_->CookiesSent("/cookie-a.html"), testing::Each(""));
    EXPECT_THAT(site_->CookiesSent("/cookie-b.html"), testing::Each(""))
        << "the second page's fetch carried the first page's cookie";
    EXPECT_FALSE(site_->CookiesSent("/cookie-b.html").empty());
}

// The guard inside the worker, on the socket calls themselves: connect and connect_ex, IPv4 and
// IPv4 written as IPv6, refused before anything reaches the internal server.
TEST_F(RealExtractor, TheWorkersSocketGuardRefusesConnectAndConnectEx) {
    const std::string script = R"(
import runpy, socket, sys
worker, port = sys.argv[1], int(sys.argv[2])
sys.argv = [worker, "--allow", "127.0.0.1/32", "--deny", "127.0.0.0/8", "--deny", "::1/128"]
g = runpy.run_path(worker, run_name="worker_under_test")
said = []
for family, address, call in [(socket.AF_INET, "127.0.0.2", "connect"),
                              (socket.AF_INET, "127.0.0.2", "connect_ex"),
                              (socket.AF_INET6, "::ffff:127.0.0.2", "connect_ex"),
                              (socket.AF_INET6, "::1", "connect")]:
    s = socket.socket(family)
    try:
        getattr(s, call)((address, port))
        said.append("reached")
    except g["AddressRefused"]:
        said.append("refused")
    except OSError:
        said.append("failed")
    s.close()
g["ANSWERS"].write((" ".join(said) + "\n").encode())
)";
    const TempDir dir;
    const int before = internal_->requests();
    const pid_t pid = Spawn({"/usr/bin/python3", "-I", "-c", script,
                             std::filesystem::path(ServiceBinary()).parent_path() / "worker.py",
                             std::to_string(internal_->port())},
                            dir.File("out"), dir.File("err"));
    ASSERT_GT(pid, 0);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(-pid, SIGKILL);
    EXPECT_EQ(ReadFile(dir.File("out")), "refused refused refused refused\n")
        << ReadFile(dir.File("err"));
    EXPECT_EQ(internal_->requests(), before);
}

}  // namespace
}  // namespace resolver::test

namespace resolver::test {
namespace {

TEST_F(RealExtractor, WorkersReadNoConfigurationAndWriteNothingInTheHome) {
    // The extractions above went straight to the sample site, not through the configured proxy.
    EXPECT_EQ(service_->ResolveJson(site_->Url("/one.html"))->status, 200);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_->path())) {
        files.push_back(entry.path().string().substr(home_->path().size()));
    }
    EXPECT_THAT(files, testing::UnorderedElementsAre("/.config", "/.config/yt-dlp",
                                                     "/.config/yt-dlp/config"));
}

}  // namespace
}  // namespace resolver::test
