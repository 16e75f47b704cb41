#include "server/status/status_page.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "server/status/sha256.h"

namespace korrin {
namespace {

StatusSnapshot madeUp() {
    StatusSnapshot s;
    s.version = "1.2.3";
    s.inputPort = 3001, s.outputPort = 3002;
    s.inputListening = true;
    s.queueLines = 2, s.queueBytes = 9;
    s.receivers = {{7, "events", "<b>\"x\"</b>", Clock::WallTime(std::chrono::seconds(1767323045)),
                    1.5, 4, 10}};
    s.senders = {{0, "tcp", "::1", Clock::WallTime(std::chrono::seconds(1767323045)), 2, 3, 0}};
    s.lastError = "Error: 10054 \xE9t\xE9";
    using namespace std::string_literals;
    s.log = {"Bind: \"\x01\0\xFF\" is not an address"s, "Error: 0 - </pre><script>"};
    s.counters.refusedByPort = {{3001, 2}};
    for (double late : {0.0005, 0.003, 0.003, 2.0}) s.counters.lateness.add(late);
    s.spool.folder = "/var/lib/korrin-relay/spool";
    s.spool.sentSeq = 5000000000, s.spool.bytes = 4096;
    s.spool.syncSeconds.add(0.02);
    s.counters.linesLost["not_kept"] = 3;
    s.queueHistory = {4, 17, 2};
    return s;
}

TEST(StatusPage, JsonStaysValidWhateverBytesTheLogHolds) {
    using namespace std::string_literals;
    const nlohmann::json j = nlohmann::json::parse(renderStatusJson(madeUp()));
    EXPECT_EQ(j["ports"]["input"], 3001);
    EXPECT_EQ(j["ports"]["output_listening"], false);
    EXPECT_EQ(j["queue"]["lines"], 2);
    EXPECT_EQ(j["receivers"][0]["id"], 7);
    EXPECT_EQ(j["receivers"][0]["address"], "<b>\"x\"</b>");
    EXPECT_EQ(j["senders"][0]["lines_received"], 3);
    EXPECT_EQ(j["counters"]["refused"]["3001"], 2);
    EXPECT_EQ(j["last_error"], "Error: 10054 \u00e9t\u00e9");  // 8-bit text read as Latin-1
    EXPECT_EQ(j["log"][0], "Bind: \"\x01\0\u00ff\" is not an address"s);
    EXPECT_EQ(j["spool"]["sent_seq"], 5000000000u);
    EXPECT_EQ(j["counters"]["lines_lost"]["not_kept"], 3);
    EXPECT_EQ(j["spool"]["folder"], "/var/lib/korrin-relay/spool");
}

TEST(StatusPage, MetricsFollowTheTextFormatWithACumulativeHistogram) {
    const std::string m = renderMetrics(madeUp());
    const std::regex sample(R"(^[a-z_]+(\{[a-z]+="[^"]*"\})? [0-9.e+-]+$)");
    std::istringstream lines(m);
    for (std::string line; std::getline(lines, line);)
        if (line[0] != '#') {
            EXPECT_TRUE(std::regex_match(line, sample)) << line;
        }
    for (const char* want :
         {"korrin_refused_total{port=\"3001\"} 2\n",
          "korrin_pacing_lateness_seconds_bucket{le=\"0.001\"} 1\n",
          "korrin_pacing_lateness_seconds_bucket{le=\"0.005\"} 3\n",
          "korrin_pacing_lateness_seconds_bucket{le=\"1\"} 3\n",
          "korrin_pacing_lateness_seconds_bucket{le=\"+Inf\"} 4\n",
          "korrin_pacing_lateness_seconds_count 4\n", "korrin_receivers 1\n",
          "korrin_spool_bytes 4096\n", "korrin_spool_sync_seconds_bucket{le=\"0.025\"} 1\n",
          "korrin_lines_lost_total{reason=\"not_kept\"} 3\n",
          "korrin_lines_lost_total{reason=\"damaged\"} 0\n"})
        EXPECT_NE(m.find(want), std::string::npos) << want;
}

TEST(StatusPage, PageEscapesPeerTextAndItsPolicyNamesItsOwnBlocks) {
    const std::string page = renderStatusPage(madeUp());
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;&quot;x&quot;&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(page.find("</pre><script>"), std::string::npos);
    // The chart's scale: its highest value and the time it spans.
    EXPECT_NE(page.find("id=\"chart-max\">17<"), std::string::npos);
    EXPECT_NE(page.find("id=\"chart-span\">3 s ago<"), std::string::npos);
    // The browser hashes the exact text between the tags.
    for (const char* tag : {"script", "style"}) {
        const size_t open = page.find(std::string("<") + tag + ">") + strlen(tag) + 2;
        const std::string block = page.substr(open, page.find(std::string("</") + tag) - open);
        EXPECT_NE(statusPagePolicy().find(cspHash(block)), std::string::npos) << tag;
    }
    const std::array<uint8_t, 32> abc = sha256("abc");  // FIPS 180-2's example
    EXPECT_EQ(base64(abc.data(), abc.size()), "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
}

TEST(StatusPage, TimesAreUtcDates) {
    using std::chrono::seconds;
    EXPECT_EQ(isoUtc(Clock::WallTime(seconds(0))), "1970-01-01T00:00:00Z");
    EXPECT_EQ(isoUtc(Clock::WallTime(seconds(951782400))), "2000-02-29T00:00:00Z");
    EXPECT_EQ(isoUtc(Clock::WallTime(seconds(1796785199))), "2026-12-09T02:59:59Z");
}

}  // namespace
}  // namespace korrin
