// The relay's error log: each line goes to the platform's log ("IpError.txt", stderr) and the
// last ones stay for the status page.
#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "server/net/relay_seams.h"

namespace korrin {

class RelayLog {
  public:
    static constexpr size_t kRecentLines = 20;
    explicit RelayLog(ErrorLog& log) : log_(log) {}
    // "Error: <code> - <text>", as every line of the log reads.
    void error(int code, std::string_view text) {
        std::string line = "Error: " + std::to_string(code) + " - ";
        line.append(text);
        recent_.push_back(line);
        if (recent_.size() > kRecentLines) recent_.pop_front();
        line += "\r\n";
        log_.append(line);
    }
    ErrorNumbers numbers() const { return log_.numbers(); }
    // Oldest first, without their line end.
    const std::deque<std::string>& recent() const { return recent_; }

  private:
    ErrorLog& log_;
    std::deque<std::string> recent_;
};

}  // namespace korrin
