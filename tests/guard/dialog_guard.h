// Every Windows test program carries a guard against dialog boxes that nobody answers: a test
// that shows one (a runtime error report, a failed assertion's box) would otherwise wait for a
// click until ctest's time-out. The guard prints the box's caption and text and ends the process
// with a failure within a second.
#pragma once

namespace rh::test {

// While one of these lives, dialog boxes of this process are the test's own business.
class ExpectDialogs {
  public:
    ExpectDialogs();
    ~ExpectDialogs();
    ExpectDialogs(const ExpectDialogs&) = delete;
    ExpectDialogs& operator=(const ExpectDialogs&) = delete;
};

}  // namespace rh::test
