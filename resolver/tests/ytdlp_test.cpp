// The service with the real yt-dlp against a sample video site served here on 127.0.0.1, and an
// "internal" server on 127.0.0.2 that the extraction must never reach.
#include <atomic>
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
    explicit Site(const std::string& host) {
        server_.set_logger(
            [this](const httplib::Request&, const httplib::Response&) { ++requests_; });
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
    std::string Url(const std::string& path) const {
        return "http://" + host_ + ":" + std::to_string(port_) + path;
    }
    int requests() const { return requests_; }
    int port() const { return port_; }
    std::string host_ = "127.0.0.1";

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_ = 0;
};

class RealExtractor : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        internal_ = new Site("127.0.0.2");
        internal_->host_ = "127.0.0.2";
        internal_->Page("/one.html", "Internal", "<video src=\"/files/secret.mp4\"></video>");
        internal_->File("secret.mp4", "video/mp4");
        internal_->File("stream.m3u8", "application/vnd.apple.mpegurl");
        internal_->Start();

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
        service_ = new RunningService(
            {"--workers", "1", "--rate", "0", "--allow-address", "127.0.0.1/32"});
    }
    static void TearDownTestSuite() {
        delete service_;
        delete home_;
        delete site_;
        delete internal_;
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
    static RunningService* service_;
};

TempDir* RealExtractor::home_ = nullptr;
Site* RealExtractor::site_ = nullptr;
Site* RealExtractor::internal_ = nullptr;
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
    const int before = internal_->requests();
    for (const char* page : {"/redirect.html", "/internal-hls.html"}) {
        const auto r = service_->ResolveJson(site_->Url(page));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << page << ": " << r->body;
        const json body = json::parse(r->body);
        EXPECT_EQ(body["error"]["code"], "address_refused") << page;
        EXPECT_THAT(body["error"]["message"].get<std::string>(), HasSubstr("127.0.0.2"));
    }
    EXPECT_EQ(internal_->requests(), before) << "the internal server was reached";
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
