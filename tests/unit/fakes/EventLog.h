#pragma once

#include <string>
#include <vector>

/// One timeline that several fakes write to, so that tests can check the order of effects
/// across ports.
struct EventLog {
    std::vector<std::string> entries;
    void add(std::string entry) { entries.push_back(std::move(entry)); }
};
