// The program's one handle on the HTML document that the hidden browser shows.
#pragma once

namespace rh {

class PageAutomation {
public:
    // Initialises COM for the creating (user-interface) thread; destruction uninitialises it.
    PageAutomation();
    ~PageAutomation();
    PageAutomation(const PageAutomation&) = delete;
    PageAutomation& operator=(const PageAutomation&) = delete;
};

}  // namespace rh
