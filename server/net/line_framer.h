// Cuts one connection's incoming byte stream into lines at its delimiter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/net/limits.h"

namespace korrin {

class LineFramer {
  public:
    // Longest line kept; a longer one is dropped whole, up to and including its delimiter.
    static constexpr size_t kMaxLine = limits::kMaxLine;

    class Sink {
      public:
        virtual ~Sink() = default;
        // The text is valid until the next cutDone().
        virtual void line(std::string_view text) = 0;
        // Called once per dropped line, when it first passes the maximum.
        virtual void overlong() = 0;
        // The lines given since the last call are all there is for now, and their texts may
        // go: a sink that gathers lines hands them on here.
        virtual void cutDone() {}
    };

    explicit LineFramer(size_t maxLine = kMaxLine) : maxLine_(maxLine) {}

    void setDelimiter(std::string_view delimiter) { delimiter_ = delimiter; }
    const std::string& delimiter() const { return delimiter_; }

    void feed(std::string_view bytes, Sink& sink);

    // The piece after the last delimiter (empty while a dropped line is being skipped).
    std::string takeRest();
    bool empty() const { return pending_.empty(); }

  private:
    size_t findByte(std::string_view data, size_t from) const;
    // Hands on the lines of data that end in a delimiter, searching from `from`; where the
    // unfinished rest begins.
    size_t cut(std::string_view data, size_t from, Sink& sink);
    size_t endOfFirstDelimiter(std::string_view bytes) const;
    static constexpr size_t kKeptRoom = 4096;  // buffer kept between reads at most
    std::string delimiter_ = "\n";
    std::string pending_;
    size_t scanned_ = 0;     // bytes of pending_ known to hold no delimiter start
    bool dropping_ = false;  // inside a line that passed the maximum
    size_t maxLine_;
};

}  // namespace korrin
