// What korrin-relay is told: its command line and its config file, read into the settings the
// relay core asks for under the registry's names. Portable, so every rule is tested natively.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/relay_seams.h"

namespace korrin {

inline constexpr char kDefaultConfigPath[] = "/etc/korrin-relay/korrin-relay.conf";

struct DaemonOptions {
    enum class Action { Run, Help, Version } action = Action::Run;
    std::string configPath = kDefaultConfigPath;
    bool configGiven = false;                   // --config: the file must exist
    std::map<std::string, std::string> values;  // from flags, by setting name ("Port", ...)
    std::string logFile;                        // --log-file; empty: stderr only
};

// The options, or the message naming what is wrong (the program then exits with 2).
struct ParsedOptions {
    DaemonOptions options;
    std::string error;
};
ParsedOptions parseArguments(const std::vector<std::string>& args);  // without argv[0]
extern const char kUsage[];

// "Key = value" lines; "#" and ";" start a comment; keys are the setting names, in any case.
// False with *error naming the file and line on an unknown key or a line that is no setting.
bool parseConfig(std::string_view text, const std::string& fileName,
                 std::map<std::string, std::string>& values, std::string* error);

// The file's values with the flags over them; false with *error naming the file when it cannot
// be used. A missing default file means defaults at the start only: at a reload it is an error,
// so that the settings in force stay rather than widen to the defaults.
enum class LoadTime { Start, Reload };
bool loadSettings(const DaemonOptions& options, LoadTime when,
                  std::map<std::string, std::string>& values, std::string* error);

// Settings held in memory: file values with the flags over them.
class MapSettings final : public SettingsStore {
  public:
    explicit MapSettings(std::map<std::string, std::string> values = {})
        : values_(std::move(values)) {}
    std::string get(std::string_view key, std::string_view defaultValue) override;
    ListText getList(std::string_view key) override;
    void save(std::string_view key, std::string_view value) override;
    void replace(std::map<std::string, std::string> values) { values_ = std::move(values); }

  private:
    std::map<std::string, std::string> values_;
};

}  // namespace korrin
