// The result page in a real browser engine: Chromium loads what the page writer wrote, and the
// program's own rules, run on each link's "innerText" and "outerHTML" as Chromium gives them
// (converted to GBK, as the program sees them), list exactly the addresses written.
#include <iconv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/link_rules.h"
#include "hostile_addresses.h"
#include "page_writer.h"
#include "tunnel.h"
#include "tunnel_store.h"
#include "service_harness.h"

namespace resolver::test {
namespace {

using nlohmann::json;

// UTF-8 to GBK as the program's conversion does it: a character GBK has no room for becomes "?".
std::string ToGbk(const std::string& utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    std::string out;
    std::size_t left = utf8.size();
    char* in = const_cast<char*>(utf8.data());
    while (left > 0) {
        char buffer[8];
        char* to = buffer;
        std::size_t room = sizeof buffer;
        char* before = in;
        if (iconv(cd, &in, &left, &to, &room) == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // Skip the one character that has no GBK form.
            const auto lead = static_cast<unsigned char>(*in);
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            in += std::min(length, left);
            left -= std::min(length, left);
            out.append(buffer, to);
            out += '?';
            continue;
        }
        out.append(buffer, to);
        if (in == before && to == buffer) {
            break;
        }
    }
    iconv_close(cd);
    return out;
}

// Chromium's view of every link of the page: [innerText, outerHTML] pairs, read by a script the
// test adds at the end of the page and handed out, percent-encoded, in the dumped document.
std::vector<std::pair<std::string, std::string>> LinksInChromium(const std::string& page) {
    const TempDir dir;
    const std::string collect =
        "<script>var out=[],a=document.getElementsByTagName('a');"
        "for(var i=0;i<a.length;i++)out.push([a[i].innerText,a[i].outerHTML]);"
        "var p=document.createElement('pre');p.id='links';"
        "p.textContent='LINKS:'+encodeURIComponent(JSON.stringify(out))+':END';"
        "document.body.appendChild(p);</script>";
    std::string withScript = page;
    withScript.insert(withScript.rfind("</body>"), collect);
    std::ofstream(dir.File("page.html"), std::ios::binary) << withScript;

    std::vector<std::string> args = {"/usr/bin/chromium",
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--user-data-dir=" + dir.File("profile"),
                                     "--dump-dom",
                                     "file://" + dir.File("page.html")};
    const pid_t pid = Spawn(args, dir.File("dom"), "");
    if (pid <= 0) {
        ADD_FAILURE() << "cannot start Chromium (the test command installs Debian's chromium)";
        return {};
    }
    int status = 0;
    for (int i = 0; i < 600 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(-pid, SIGKILL);  // Chromium's own helpers, and Chromium itself after 60 s
    waitpid(pid, &status, WNOHANG);
    const std::string dom = ReadFile(dir.File("dom"));
    const std::string start = "<pre id=\"links\">LINKS:";
    const std::size_t from = dom.find(start);
    const std::size_t to = dom.find(":END", from);
    if (from == std::string::npos || to == std::string::npos) {
        ADD_FAILURE() << "Chromium gave no links: " << dom.substr(0, 300);
        return {};
    }
    const std::string decoded =
        PercentDecoded(dom.substr(from + start.size(), to - from - start.size()));
    std::vector<std::pair<std::string, std::string>> links;
    for (const json& link : json::parse(decoded)) {
        links.emplace_back(link[0], link[1]);
    }
    return links;
}

TEST(PageContract, ChromiumAndTheProgramsRulesGiveBackExactlyTheAddressesWritten) {
    Resolution r;
    r.title =
        "\xE8\xA7\x86\xE9\xA2\x91 \xE0\xB9\x84\xE0\xB8\x97\xE0\xB8\xA2 My.mp4 \"clip\" <b>&amp;";
    std::vector<std::string> expected;
    for (const std::string& address : HostileAddresses()) {
        MediaFile file;
        file.address = address;
        file.extension = expected.size() % 3 == 2 ? "m3u8" : "mp4";
        file.width = 1280;
        file.height = 720;
        r.files.push_back(file);
        expected.push_back(LinkAddress(address));
    }
    // Files listed at the service's own address (a tunnel, a merge): a token and the file's name
    // for people, percent-encoded, on whatever address the page was asked on.
    const std::string base = "http://resolver.example:8765";
    for (const auto& [kind, path] : {std::pair{FileKind::PictureAndSound, std::string("/t/")},
                                     std::pair{FileKind::Merged, std::string("/m/")}}) {
        MediaFile file;
        file.kind = kind;
        file.extension = "mp4";
        file.height = 1080;
        file.listedPath =
            path + TunnelToken::New().text() + "/" + Tunnels::PathName(LinkText(r, file));
        r.files.push_back(file);
        expected.push_back(base + file.listedPath);
    }
    // A sound-only file in another container: listed on the page, passed over by the program.
    MediaFile sound;
    sound.address = "http://m.test/sound.m4a";
    sound.extension = "m4a";
    sound.kind = FileKind::SoundOnly;
    r.files.push_back(sound);
    Outcome outcome;
    outcome.resolution = r;

    const auto links =
        LinksInChromium(WriteResultPage("http://m.test/page;\"x\".mp4", outcome, base));
    ASSERT_EQ(links.size(), r.files.size());
    std::vector<std::string> harvested;
    for (const auto& [text, markup] : links) {
        const std::string gbkText = ToGbk(text);
        if (!rh::IsVideoLink(gbkText)) {
            continue;
        }
        const auto address = rh::ExtractLinkAddress(ToGbk(markup));
        ASSERT_TRUE(address) << markup;
        harvested.emplace_back(address->begin(), address->end());
    }
    EXPECT_EQ(harvested, expected);
    // And what was written is the address itself, only percent-encoded where it had to be.
    for (std::size_t i = 0; i < HostileAddresses().size(); ++i) {
        if (HostileAddresses()[i].find('%') == std::string::npos) {
            EXPECT_EQ(PercentDecoded(harvested[i]), HostileAddresses()[i]);
        }
    }
}

}  // namespace
}  // namespace resolver::test
