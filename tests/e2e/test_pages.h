// Pages made at test time in a folder that plays the web for the stand-in browser
// (http://host/path is <folder>\host\path; a path ending in / is its index.html).
#pragma once

#include <string>
#include <string_view>

#include "e2e_support.h"

namespace e2e {

// The program's resolving page is http://resolver.reelhawk.test/ unless the build says otherwise.
inline constexpr const char* kResolverHost = "resolver.reelhawk.test";

// A page in GBK, declared as such, with the given body markup.
std::string GbkPage(std::string_view body);
// A link written the way the resolver writes its video links: the address as the only quoted
// attribute.
std::string Link(std::string_view href, std::string_view text);
// A resolving form like the real one: a text input for the address and a submit button, sent to
// `action` by GET.
std::string ResolverForm(std::string_view action);

class WebRoot {
  public:
    WebRoot() : folder_("reelhawk-web") {}
    const std::string& Path() const { return folder_.Path(); }
    // Writes a page (bytes as given) at http://host/path; false when the file cannot be written.
    bool Put(std::string_view host, std::string_view path, std::string_view bytes);
    // The resolving page the program loads at start-up.
    bool PutStartPage(std::string_view bytes) { return Put(kResolverHost, "index.html", bytes); }

  private:
    TempFolder folder_;
};

}  // namespace e2e
