// Whether the stand-in browser control is the one CoCreateInstance makes for the web browser
// control's class here, and reading its call log.
#pragma once

#include <string>
#include <vector>

namespace rh::test {

bool StandInRegistered();
// The log's lines that start with one of these words, in order.
std::vector<std::string> LogLinesStartingWith(const std::string& path,
                                              const std::vector<std::string>& words);

}  // namespace rh::test
