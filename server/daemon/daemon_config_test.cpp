#include "server/daemon/daemon_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
        {{"--spool", "/var/spool/k", "--spool-sync", "0", "--spool-limit", "64", "--replay-lines",
          "10", "--resume-seconds", "30"},
         {{"Spool", "/var/spool/k"},
          {"SpoolSync", "0"},
          {"SpoolLimit", "64"},
          {"ReplayLines", "10"},
          {"ResumeSeconds", "30"}},
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
         "AllowStatus =\nStatusHosts = relay.lan\n",
         {{"Port", "4000"},
          {"Bind", "127.0.0.1, ::1"},
          {"AllowStatus", ""},
          {"StatusHosts", "relay.lan"}},
         ""},
        {"Port = 1\nPrt = 2\n", {}, "f.conf:2: unknown key \"Prt\""},
        {"Port 4000\n", {}, "f.conf:1: not a \"Key = value\" line"},
        {"\xEF\xBB\xBFPort = 4000\n", {{"Port", "4000"}}, ""},
        {"Port = 1\n\xEF\xBB\xBFTimer = 50\n", {}, "f.conf:2: unknown key \"\xEF\xBB\xBFTimer\""},
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

TEST(DaemonConfig, AFileThatCannotBeUsedFailsAndAMissingDefaultOnlyAtAReload) {
    char dir[] = "/tmp/korrin-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string good = std::string(dir) + "/good.conf", missing = std::string(dir) + "/no";
    FILE* f = fopen(good.c_str(), "w");
    fputs("Bind = 127.0.0.1\n", f);
    fclose(f);
    using Map = std::map<std::string, std::string>;
    struct Case {
        std::string path;
        bool given;
        LoadTime when;
        Map values;  // with --port 4000
        std::string error;
    } cases[] = {
        {good, true, LoadTime::Reload, {{"Bind", "127.0.0.1"}, {"Port", "4000"}}, ""},
        {missing, false, LoadTime::Start, {{"Port", "4000"}}, ""},
        {missing, false, LoadTime::Reload, {}, missing + ": No such file or directory"},
        {missing, true, LoadTime::Start, {}, missing + ": No such file or directory"},
        {dir, true, LoadTime::Start, {}, std::string(dir) + ": Is a directory"},
    };
    for (const Case& c : cases) {
        DaemonOptions o;
        o.configPath = c.path;
        o.configGiven = c.given;
        o.values = {{"Port", "4000"}};
        Map values;
        std::string error;
        EXPECT_EQ(loadSettings(o, c.when, values, &error), c.error.empty()) << c.path;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(values, c.values) << c.path;
    }
    unlink(good.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace korrin
