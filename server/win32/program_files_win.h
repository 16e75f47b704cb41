// Files of the program: the folder it runs from and the error log.
#pragma once

#include <string>

#include "server/net/relay_seams.h"

namespace korrin {

class FileErrorLog final : public ErrorLog {
  public:
    explicit FileErrorLog(std::string path) : path_(std::move(path)) {}
    void append(std::string_view line) override;

  private:
    std::string path_;
};

// The directory of the running program, with its trailing backslash.
std::string programDirectory();

}  // namespace korrin
