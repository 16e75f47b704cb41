// The head of one HTTP/1.x request, read as its bytes arrive: the status port's only input.
// Bounded: a head is at most 8 KiB; requests have no body.
#pragma once

#include <string>
#include <string_view>

namespace korrin {

class HttpRequestReader {
  public:
    static constexpr size_t kMaxHead = 8 * 1024;
    enum class State { Incomplete, Complete, Bad };

    // Takes the next bytes; the state after them. Once Complete or Bad, more bytes change
    // nothing.
    State feed(std::string_view bytes);
    State state() const { return state_; }
    // When Bad: 400 (malformed), 414 (request line too long) or 431 (head too long).
    int errorStatus() const { return errorStatus_; }
    // When Complete.
    const std::string& method() const { return method_; }
    const std::string& path() const { return path_; }  // the target without its query

  private:
    State fail(int status);
    State parse();

    std::string head_;
    State state_ = State::Incomplete;
    int errorStatus_ = 0;
    std::string method_, path_;
};

}  // namespace korrin
