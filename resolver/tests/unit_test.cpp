// The service's parts on their own: the address guard, the page writer against the program's own
// carving, the order of files, the kept and shared results and the rate limit, the client's
// address behind proxies, and what is kept in Redis.
#include <chrono>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "address_guard.h"
#include "hostile_addresses.h"
#include "app/link_rules.h"
#include "page_writer.h"
#include "resolution.h"
#include "result_cache.h"
#include "rate_limit.h"
#include "redis_store.h"
#include "tunnel.h"

namespace resolver {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

TEST(AddressGuard, TakesOnlyWebAddressesAndRefusesInternalRanges) {
    struct {
        std::string address;
        bool taken;
    } parsing[] = {
        {"http://example.test/watch?v=1", true},
        {"HTTPS://Example.test:8443/a", true},
        {"http://[2001:db8::1]:80/", true},
        {"file:///etc/passwd", false},
        {"javascript:alert(1)", false},
        {"ftp://example.test/a.mp4", false},
        {"http:example.test", false},
        {"http://", false},
        {"http://example.test:0/", false},
        {"http://example.test:99999/", false},
        {"http://u:p@example.test/", false},
        {"http://127.0.0.1\\@example.test/", false},
        {"http://example.test/a\nb", false},
        {"http://example.test/\xE8\xA7\x86\xE9\xA2\x91", true},
        {"http://example.test/\xE8\xA7", false},
        {"http://example.test/" + std::string(2063, 'a'), true},  // 2,083 in all
        {"http://example.test/" + std::string(2064, 'a'), false},
    };
    for (const auto& c : parsing) {
        std::string why;
        EXPECT_EQ(ParseWebAddress(c.address, &why).has_value(), c.taken)
            << c.address << ": " << why;
        EXPECT_EQ(why.empty(), c.taken);
    }
    EXPECT_EQ(ParseWebAddress("HTTPS://Example.test:8443/a", nullptr)->host, "example.test");
    EXPECT_EQ(ParseWebAddress("https://[::1]/", nullptr)->port, 443);

    const AddressPolicy strict(false, {});
    const AddressPolicy loopbackOne(false, {*ParseAddressRange("127.0.0.1/32")});
    const AddressPolicy open(true, {});
    struct {
        const char* address;
        bool strict;
        bool loopbackOne;
    } ranges[] = {
        {"93.184.216.34", true, true},
        {"2606:4700::1111", true, true},
        {"127.0.0.1", false, true},
        {"127.0.0.2", false, false},
        {"10.0.0.1", false, false},
        {"172.31.255.255", false, false},
        {"172.32.0.1", true, true},
        {"192.168.0.1", false, false},
        {"169.254.169.254", false, false},
        {"100.64.0.1", false, false},
        {"0.0.0.0", false, false},
        {"224.0.0.1", false, false},
        {"::1", false, false},
        {"::", false, false},
        {"fe80::1", false, false},
        {"fd00::1", false, false},
        {"::ffff:10.1.2.3", false, false},
        {"::ffff:127.0.0.1", false, true},
        {"64:ff9b::a00:1", false, false},
    };
    for (const auto& c : ranges) {
        const auto ip = ParseIpAddress(c.address);
        ASSERT_TRUE(ip) << c.address;
        EXPECT_EQ(strict.Permits(*ip), c.strict) << c.address;
        EXPECT_EQ(loopbackOne.Permits(*ip), c.loopbackOne) << c.address;
        EXPECT_TRUE(open.Permits(*ip));
    }
    EXPECT_FALSE(ParseAddressRange("10.0.0.0/33"));
    EXPECT_FALSE(ParseAddressRange("not an address"));
    EXPECT_TRUE(ParseAddressRange("10.9.9.9/8")->Contains(*ParseIpAddress("10.200.0.1")));
    EXPECT_THAT(strict.CheckHost("localhost"), HasSubstr("internal"));
}

// What the Windows program does with a link of the result page: it keeps the link when its text
// names a video file and carves the address out of its markup.
std::optional<std::string> Harvest(const std::string& text, const std::string& markup) {
    if (!rh::IsVideoLink(text)) {
        return std::nullopt;
    }
    const auto carved = rh::ExtractLinkAddress(markup);
    return carved ? std::optional<std::string>(std::string(carved->begin(), carved->end()))
                  : std::optional<std::string>(std::string("<not carved>"));
}

TEST(PageWriter, EveryHostileAddressIsCarvedBackExactlyFromTheLinkItWrites) {
    for (const std::string& address : test::HostileAddresses()) {
        Resolution r;
        r.title = "A title.mp4 with .FLV and .m3u8 in it";
        MediaFile file;
        file.address = address;
        file.extension = "mp4";
        r.files.push_back(file);
        const std::string markup = "<a href=\"" + EncodeAddressForLink(address) + "\">" +
                                   EscapeHtml(LinkText(r, file)) + "</a>";
        // The link as written is the link a serializer writes again: href only, quoted, "&amp;".
        const auto carved = Harvest(LinkText(r, file), markup);
        ASSERT_TRUE(carved) << address;
        EXPECT_EQ(*carved, LinkAddress(address)) << address;
        if (address.find('%') == std::string::npos) {
            EXPECT_EQ(test::PercentDecoded(*carved), address);
        }
        EXPECT_EQ(carved->find_first_of(";\"<> \t\n"), std::string::npos);
    }
}

TEST(PageWriter, NoTextButAFilesOwnLinkNamesAVideoFile) {
    Resolution r;
    r.title = "My.mp4 holiday .FLV .m3u8";
    r.parts = {{1, "part .mp4 one"}};
    MediaFile sound;
    sound.address = "http://m.test/a.m4a";
    sound.extension = "m4a";
    sound.kind = FileKind::SoundOnly;
    sound.part = 1;
    r.files = {sound};
    Outcome found;
    found.resolution = r;
    const std::string page = WriteResultPage("http://m.test/page.mp4", found);
    // The sound file's link names an .m4a, so the program passes over it.
    EXPECT_FALSE(rh::IsVideoLink(LinkText(r, sound)));
    EXPECT_THAT(LinkText(r, sound), HasSubstr("sound only.m4a"));
    for (const char* marker : {".mp4", ".flv", ".FLV", ".m3u8"}) {
        // Only the form's value holds the address asked, as typed.
        const std::string outsideForm = page.substr(page.find("</form>"));
        EXPECT_THAT(outsideForm, Not(HasSubstr(marker)));
    }
    const std::string failed = WriteResultPage(
        "http://m.test/x.mp4", Outcome::Failure(422, "no_video", "Nothing at x.mp4 here."));
    EXPECT_THAT(failed.substr(failed.find("</form>")), Not(HasSubstr(".mp4")));
    EXPECT_THAT(failed, HasSubstr("value=\"http://m.test/x.mp4\""));
}

TEST(Resolution, FilesWithPictureAndSoundComeFirstEachGroupBestFirstPartsInPageOrder) {
    const json info = json::parse(R"({
      "title": "Clip",
      "formats": [
        {"url": "http://m/sb", "ext": "mhtml", "vcodec": "none", "acodec": "none"},
        {"url": "http://m/a-low.m4a", "ext": "m4a", "vcodec": "none", "acodec": "mp4a"},
        {"url": "http://m/360.mp4", "ext": "mp4", "vcodec": "avc1", "acodec": "mp4a", "width": 640, "height": 360},
        {"url": "http://m/v-1080.mp4", "ext": "mp4", "vcodec": "avc1", "acodec": "none", "height": 1080},
        {"url": "http://m/rtmp", "ext": "flv", "protocol": "rtmp"},
        {"url": "http://m/master.m3u8", "ext": "mp4", "protocol": "m3u8_native"},
        {"url": "http://m/a-high.webm", "ext": "webm", "vcodec": "none", "acodec": "opus", "filesize": 1234},
        {"url": "http://m/720.mp4", "ext": "mp4", "vcodec": "avc1", "acodec": "mp4a", "height": 720},
        {"url": "http://m/720.mp4", "ext": "mp4", "vcodec": "avc1", "acodec": "mp4a", "height": 720},
        {"ext": "mp4"}
      ]})");
    const Resolution r = BuildResolution(info);
    std::vector<std::string> order;
    for (const MediaFile& f : r.files) {
        order.push_back(f.address.substr(9) + " " + KindName(f.kind) + " " + f.extension);
    }
    EXPECT_THAT(order,
                testing::ElementsAre("720.mp4 picture+sound mp4", "master.m3u8 picture+sound m3u8",
                                     "360.mp4 picture+sound mp4", "v-1080.mp4 picture mp4",
                                     "a-high.webm sound webm", "a-low.m4a sound m4a"));
    EXPECT_EQ(r.files[4].size, 1234);

    const json playlist = json::parse(R"({"title": "Two", "entries": [
        {"title": "First", "url": "http://m/1.mp4", "ext": "mp4"},
        {"title": "Second", "formats": [{"url": "http://m/2.mp4", "ext": "mp4"}]},
        {"_type": "url", "url": "http://m/page3"}]})");
    const Resolution p = BuildResolution(playlist);
    ASSERT_EQ(p.files.size(), 3u);
    EXPECT_EQ(p.files[0].part, 1);
    EXPECT_EQ(p.files[1].address, "http://m/2.mp4");
    EXPECT_EQ(p.files[2].kind, FileKind::PlaylistPart);
    json many = {{"entries", json::array()}};
    for (int i = 0; i < kMaxParts + 5; ++i) {
        many["entries"].push_back({{"url", "http://m/" + std::to_string(i) + ".mp4"}});
    }
    const Resolution bounded = BuildResolution(many);
    EXPECT_EQ(bounded.files.size(), static_cast<std::size_t>(kMaxParts));
    EXPECT_TRUE(bounded.truncated);
    EXPECT_TRUE(BuildResolution(json("not an object")).files.empty());
}

// Resolves at once with an extraction that answers at once; the answer.
ResultStore::Answer ResolveNow(ResultStore& results, const std::string& address,
                               const Extraction& extract) {
    std::optional<ResultStore::Answer> answer;
    results.Resolve(address, Clock::now() + 1s, extract,
                    [&](ResultStore::Answer a) { answer = std::move(a); });
    EXPECT_TRUE(answer) << "not answered at once";
    return answer.value_or(ResultStore::Answer{});
}

Kept KeptFailure(int status, const char* message) {
    return std::make_shared<const KeptOutcome>(Outcome::Failure(status, "x", message, true));
}

TEST(MemoryResults, KeepsCacheableOutcomesForTheirTimeLeastRecentlyUsedOut) {
    auto now = Clock::time_point{};
    MemoryResults results(300s, 2, [&] { return now; });
    int extractions = 0;
    auto extract = [&](bool cacheable) -> Extraction {
        return [&, cacheable](Deadline, OutcomeDone done) {
            ++extractions;
            done(Outcome::Failure(502, "x", "y", cacheable));
        };
    };
    EXPECT_FALSE(ResolveNow(results, "a", extract(true)).cacheHit);
    EXPECT_TRUE(ResolveNow(results, "a", extract(true)).cacheHit);
    ResolveNow(results, "b", extract(true));
    ResolveNow(results, "a", extract(true));  // a is now the most recent
    ResolveNow(results, "c", extract(true));  // b goes
    EXPECT_TRUE(ResolveNow(results, "a", extract(true)).cacheHit);
    EXPECT_FALSE(ResolveNow(results, "b", extract(true)).cacheHit);
    now += 301s;
    EXPECT_FALSE(ResolveNow(results, "a", extract(true)).cacheHit);
    ResolveNow(results, "t", extract(false));
    EXPECT_FALSE(ResolveNow(results, "t", extract(false)).cacheHit);
    EXPECT_EQ(extractions, 7);

    // A copy kept for its own time (what is left of it in Redis) goes at that time.
    results.Keep("r", KeptFailure(422, "copy"), 10s);
    EXPECT_EQ(results.Find("r")->outcome().message, "copy");
    now += 11s;
    EXPECT_FALSE(results.Find("r"));
    results.Keep("gone", KeptFailure(422, "copy"), -1ms);
    EXPECT_FALSE(results.Find("gone"));

    MemoryResults none(0s, 100);
    ResolveNow(none, "a", extract(true));
    EXPECT_FALSE(ResolveNow(none, "a", extract(true)).cacheHit);
    none.Keep("a", KeptFailure(422, "copy"), 10s);
    EXPECT_EQ(none.size(), 0u);
}

TEST(MemoryResults, IdenticalRequestsInFlightWaitForOneExtractionAndAHitIsTheSameBytes) {
    MemoryResults results(60s, 10);
    int extractions = 0;
    OutcomeDone finish;
    std::vector<ResultStore::Answer> answers;
    for (int i = 0; i < 5; ++i) {
        results.Resolve(
            "same", Clock::now() + 1s,
            [&](Deadline, OutcomeDone done) {
                ++extractions;
                finish = std::move(done);
            },
            [&](ResultStore::Answer a) { answers.push_back(std::move(a)); });
    }
    EXPECT_TRUE(answers.empty()) << "answered before the extraction ended";
    ASSERT_TRUE(finish);
    finish(Outcome::Failure(422, "no_video", "none", true));
    ASSERT_EQ(answers.size(), 5u);
    int shared = 0;
    for (const auto& answer : answers) {
        EXPECT_EQ(answer.kept->outcome().code, "no_video");
        shared += answer.shared;
    }
    EXPECT_EQ(extractions, 1);
    EXPECT_EQ(shared, 4);

    // A hit is the kept answer: the same bytes, written once.
    int written = 0;
    const auto write = [&] { return "answer " + std::to_string(++written); };
    const auto hit = ResolveNow(results, "same", {});
    ASSERT_TRUE(hit.cacheHit);
    EXPECT_EQ(*hit.kept->Written("page", write), "answer 1");
    EXPECT_EQ(ResolveNow(results, "same", {}).kept->Written("page", write).get(),
              hit.kept->Written("page", write).get());
    EXPECT_EQ(*hit.kept->Written("json", write), "answer 2");
}

TEST(Tunnel, AFilesNameGoesOutAsPlainAsciiAndAsPercentEncodedUtf8) {
    const struct {
        std::string name, path, disposition;
    } cases[] = {
        {"A kite.mp4", "A%20kite.mp4",
         "attachment; filename=\"A kite.mp4\"; filename*=UTF-8''A%20kite.mp4"},
        // Each character that is not plain ASCII is one "_"; quotes, "\\" and "%" too.
        {"\xC3\x89t\xC3\xA9 \"50%\" \\~.mp4", "%C3%89t%C3%A9%20%2250%25%22%20%5C~.mp4",
         "attachment; filename=\"_t_ _50__ _~.mp4\"; "
         "filename*=UTF-8''%C3%89t%C3%A9%20%2250%25%22%20%5C~.mp4"},
        {"a/b?c#d", "a%2Fb%3Fc%23d",
         "attachment; filename=\"a/b?c#d\"; filename*=UTF-8''a%2Fb%3Fc%23d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Tunnels::PathName(c.name), c.path) << c.name;
        EXPECT_EQ(ContentDisposition(c.name), c.disposition) << c.name;
    }
}

TEST(RateLimiter, AllowsMaxPerWindowPerClient) {
    auto now = std::chrono::steady_clock::time_point{} + 1000s;
    RateLimiter limiter(2, 60s, [&] { return now; });
    EXPECT_EQ(limiter.Take("a").remaining, 1);
    EXPECT_TRUE(limiter.Take("a").allowed);
    now += 15s;
    const auto refused = limiter.Take("a");
    EXPECT_FALSE(refused.allowed);
    EXPECT_EQ(refused.reset, 45);
    EXPECT_TRUE(limiter.Take("b").allowed);
    now += 45s;
    EXPECT_TRUE(limiter.Take("a").allowed);
    RateLimiter off(0, 60s);
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(off.Take("a").allowed);
    }
}

TEST(ClientAddress, IsForwardedOnlyByTrustedProxiesAndTheRightMostUntrustedEntryCounts) {
    const std::vector<AddressRange> trusted = {*ParseAddressRange("127.0.0.1"),
                                               *ParseAddressRange("10.0.0.0/8"),
                                               *ParseAddressRange("fd00::/8")};
    struct {
        const char* peer;
        const char* forwardedFor;
        const char* realIp;
        const char* client;
    } cases[] = {
        // An untrusted peer is the client whatever it sends.
        {"203.0.113.9", "198.51.100.1", "198.51.100.2", "203.0.113.9"},
        {"::ffff:203.0.113.9", "198.51.100.1", "", "::ffff:203.0.113.9"},
        // A trusted proxy: the right-most entry it did not itself trust.
        {"127.0.0.1", "198.51.100.1", "", "198.51.100.1"},
        {"127.0.0.1", "6.6.6.6, 198.51.100.1", "", "198.51.100.1"},
        {"127.0.0.1", "6.6.6.6, 198.51.100.1, 10.1.2.3", "", "198.51.100.1"},
        {"127.0.0.1", "127.0.0.1, 198.51.100.1", "", "198.51.100.1"},
        {"::ffff:127.0.0.1", "198.51.100.1", "", "198.51.100.1"},
        {"fd00::5", "2001:db8::7", "", "2001:db8::7"},
        {"127.0.0.1", "[2001:db8::7]:4711, 10.0.0.1", "", "2001:db8::7"},
        {"127.0.0.1", "198.51.100.1:4711", "", "198.51.100.1"},
        // Every entry trusted: the left-most; one that is no address: the last trusted hop.
        {"127.0.0.1", "10.9.9.9, 10.0.0.1", "", "10.9.9.9"},
        {"127.0.0.1", "198.51.100.1, garbage, 10.0.0.1", "", "10.0.0.1"},
        {"127.0.0.1", "198.51.100.1,,", "", "127.0.0.1"},
        {"127.0.0.1", "unknown", "198.51.100.2", "127.0.0.1"},
        // No X-Forwarded-For: X-Real-IP when it is an address.
        {"127.0.0.1", "", "198.51.100.2", "198.51.100.2"},
        {"127.0.0.1", "  ", "nonsense", "127.0.0.1"},
        {"127.0.0.1", "", "", "127.0.0.1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClientAddress(c.peer, trusted, c.forwardedFor, c.realIp), c.client)
            << c.peer << " / " << c.forwardedFor << " / " << c.realIp;
    }
    EXPECT_EQ(ClientAddress("127.0.0.1", {}, "198.51.100.1", "198.51.100.2"), "127.0.0.1");
}

TEST(RedisStore, OutcomesComeBackFromTheirRecordAsTheyWereAndDamagedRecordsAreAbsent) {
    Outcome found;
    found.cacheable = true;
    Resolution r;
    r.title = "Two \"parts\" & more";
    r.parts = {{1, "one"}, {2, "two"}};
    r.truncated = true;
    auto file = [](std::string address, std::string ext, FileKind kind,
                   std::optional<std::int64_t> size, std::optional<int> width,
                   std::optional<int> height, std::string note, int part) {
        MediaFile f;
        f.address = std::move(address);
        f.extension = std::move(ext);
        f.kind = kind;
        f.size = size;
        f.width = width;
        f.height = height;
        f.note = std::move(note);
        f.part = part;
        return f;
    };
    r.files = {file("http://a.test/1;x.mp4?a=1&b=2", "mp4", FileKind::PictureAndSound, 1234, 640,
                    360, "360p", 1),
               file("http://a.test/2.m3u8", "m3u8", FileKind::PictureOnly, std::nullopt,
                    std::nullopt, 720, "", 2),
               file("http://a.test/3.m4a", "m4a", FileKind::SoundOnly, std::nullopt, std::nullopt,
                    std::nullopt, "128k", 0),
               file("http://a.test/page", "html", FileKind::PlaylistPart, 5, 1, 2, "", 2),
               file("", "mp4", FileKind::Merged, 99, 1920, 1080, "", 0)};
    // Listed through the service: kept as a path, written on whatever address it is asked on.
    r.files[1].listedPath = "/t/TOKEN/two.m3u8";
    r.files[4].listedPath = "/m/TOKEN/merged.mp4";
    r.files[4].joins = {"137", "140"};
    r.files[0].format = "18";
    found.resolution = r;
    const Outcome outcomes[] = {found, Outcome::Failure(422, "no_video", "None here.", true),
                                Outcome::Failure(504, "timeout", "Too long.")};
    for (const Outcome& o : outcomes) {
        const auto back = OutcomeFromRecord(OutcomeToRecord(o));
        ASSERT_TRUE(back) << OutcomeToRecord(o);
        EXPECT_EQ(back->status, o.status);
        EXPECT_EQ(back->cacheable, o.cacheable);
        EXPECT_EQ(back->code, o.code);
        EXPECT_EQ(back->message, o.message);
        // Everything the answers are written from is the same.
        EXPECT_EQ(DumpJson(OutcomeToJson(*back, "http://r.test")),
                  DumpJson(OutcomeToJson(o, "http://r.test")));
        EXPECT_EQ(WriteResultPage("http://a.test/", *back, "http://r.test"),
                  WriteResultPage("http://a.test/", o, "http://r.test"));
        // As kept in Redis: sealed under its address, which alone opens it.
        const std::string sealed = SealOutcome("http://a.test/", o);
        EXPECT_EQ(sealed.find("a.test"), std::string::npos);
        EXPECT_TRUE(OpenOutcome("http://a.test/", sealed));
        EXPECT_FALSE(OpenOutcome("http://b.test/", sealed));
    }
    for (const char* damaged :
         {"", "null", "{}", "[1]", R"({"v":1,"status":200})", R"({"v":2,"status":200,"answer":{}})",
          R"({"v":1,"status":"200","answer":{"title":"x","files":[]}})",
          R"({"v":1,"status":200,"answer":{"title":"x","files":[{"kind":"odd"}]}})",
          R"({"v":1,"status":200,"answer":{"title":"x","files":[{"kind":"sound","part":"2"}]}})",
          R"({"v":1,"status":200,"answer":{"title":"x","files":[],"parts":[1]}})"}) {
        EXPECT_FALSE(OutcomeFromRecord(damaged)) << damaged;
    }
}

TEST(RedisStore, TakesRedisAddressesOfTheFormRedisHostPort) {
    struct {
        const char* text;
        const char* address;  // nullptr: refused
    } cases[] = {
        {"redis://127.0.0.1:6379", "127.0.0.1:6379"},
        {"redis://localhost", "localhost:6379"},
        {"redis://[::1]:7000/", "[::1]:7000"},
        {"redis://cache.example:1", "cache.example:1"},
        {"redis://127.0.0.1:0", nullptr},
        {"redis://127.0.0.1:65536", nullptr},
        {"redis://127.0.0.1:", nullptr},
        {"redis://:6379", nullptr},
        {"redis://user@host:6379", nullptr},
        {"redis://host:6379/0", nullptr},
        {"http://127.0.0.1:6379", nullptr},
        {"127.0.0.1:6379", nullptr},
        {"redis://[::1", nullptr},
        {"redis://[::1]x", nullptr},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseRedisAddress(c.text);
        EXPECT_EQ(parsed ? parsed->text() : "refused", c.address ? c.address : "refused") << c.text;
    }
}

}  // namespace
}  // namespace resolver
