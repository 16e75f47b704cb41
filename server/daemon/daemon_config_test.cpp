#include "server/daemon/daemon_config.h"

#include <gtest/gtest.h>

namespace korrin {
namespace {

TEST(DaemonConfig, FlagsAndFileLinesReadAsSettings) {
    using Map = std::map<std::string, std::string>;
    struct Args {
        std::vector<std::string> args;
        Map values;
        std::string error;
    } args[] = {
        {{}, {}, ""},
        {{"--port", "4000", "--bind", "127.0.0.1", "--allow-senders", "10.0.0.0/8",
          "--allow-receivers", "::1", "--timer", "50", "--status-port", "3080"},
         {{"Port", "4000"},
          {"Bind", "127.0.0.1"},
          {"AllowSenders", "10.0.0.0/8"},
          {"AllowReceivers", "::1"},
          {"Timer", "50"},
          {"StatusPort", "3080"}},
         ""},
        {{"--nope"}, {}, "korrin-relay: unknown option --nope"},
        {{"--port"}, {}, "korrin-relay: --port needs a value"},
        {{"--config"}, {}, "korrin-relay: --config needs a value"},
    };
    for (const Args& a : args) {
        const ParsedOptions p = parseArguments(a.args);
        EXPECT_EQ(p.error, a.error);
        if (a.error.empty()) {
            EXPECT_EQ(p.options.values, a.values);
            EXPECT_EQ(p.options.configPath, kDefaultConfigPath);
        }
    }
    EXPECT_EQ(parseArguments({"--port", "1", "--help"}).options.action,
              DaemonOptions::Action::Help);
    const ParsedOptions c = parseArguments({"--config", "/x.conf", "--log-file", "/l"});
    EXPECT_TRUE(c.options.configGiven);
    EXPECT_EQ(c.options.logFile, "/l");

    struct File {
        std::string text;
        Map values;
        std::string error;
    } files[] = {
        {"# a comment\n; another\n\n  Port = 4000  \nbind=127.0.0.1, ::1 # this computer\r\n"
         "AllowStatus =\n",
         {{"Port", "4000"}, {"Bind", "127.0.0.1, ::1"}, {"AllowStatus", ""}},
         ""},
        {"Port = 1\nPrt = 2\n", {}, "f.conf:2: unknown key \"Prt\""},
        {"Port 4000\n", {}, "f.conf:1: not a \"Key = value\" line"},
    };
    for (const File& f : files) {
        Map values;
        std::string error;
        EXPECT_EQ(parseConfig(f.text, "f.conf", values, &error), f.error.empty()) << f.text;
        EXPECT_EQ(error, f.error);
        if (f.error.empty()) {
            EXPECT_EQ(values, f.values);
        }
    }
}

}  // namespace
}  // namespace korrin
