// For the listeners' tests: what a listener told, as one sequence of words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/net/listener.h"

namespace korrin {

struct RecordingEvents : ListenerEvents {
    std::vector<std::string> seen;
    bool admit = true;
    bool connectionRequest(const IpAddress&) override { return admit; }
    void connectionOpened(int id) override { seen.push_back("open " + std::to_string(id)); }
    void dataIn(int id, std::string_view t, bool eol) override {
        seen.push_back((eol ? "line " : "piece ") + std::to_string(id) + " " + std::string(t));
    }
    void connectionClosed(int id) override { seen.push_back("closed " + std::to_string(id)); }
    void error(int code, std::string_view) override {
        seen.push_back("error " + std::to_string(code));
    }
};

}  // namespace korrin
