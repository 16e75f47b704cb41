// The MQTT bridge of korrin-relay against a real broker of its own on loopback: lines in order
// with their seq, through a broker outage and a kill of the relay, TLS that is checked, wrong
// settings that keep the bridge off, and a topic as a sender that waits at a full spool.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/server/server_harness.h"

extern char** environ;

namespace korrin::blackbox {
namespace {

constexpr int kBroker = 4900, kTlsBroker = 4901, kPort = 4902, kStatusPort = 4904;

pid_t spawnQuiet(const std::vector<std::string>& argv, const std::string& out) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void end(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::string get(const std::string& path) {
    const int fd = connectTo(kStatusPort, 1000);
    sendAll(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string answer = readFor(fd, 1 << 20, 2000);
    closeFd(fd);
    return answer;
}

// The broker with its own config: persistent, so that a subscriber's session outlives it.
struct Broker {
    std::string dir, extra;
    int port = kBroker;
    pid_t pid = -1;
    void start() {
        // As the test's own user: started by root it would read the test's files as another.
        std::ofstream(dir + "/m.conf") << "user " << getpwuid(getuid())->pw_name << "\nlistener "
                                       << port << " 127.0.0.1\nallow_anonymous true\n"
                                       << "persistence true\npersistence_location " << dir << "/\n"
                                       << extra;
        pid = spawnQuiet({"mosquitto", "-c", dir + "/m.conf"}, dir + "/broker.log");
        ASSERT_TRUE(listensWithin(port, 5000));
    }
    ~Broker() { end(pid); }
};

// Lines the subscriber got as "payload seq:N" and the relay's TCP receiver got as lines.
struct Check {
    std::vector<std::string> lines;
    std::vector<uint64_t> seqs;
    int repeats = 0;
};
Check parse(const std::string& text) {
    Check c;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        const size_t at = l.rfind(" seq:");
        if (at == std::string::npos) continue;
        const uint64_t seq = std::stoull(l.substr(at + 5));
        if (!c.seqs.empty() && seq <= c.seqs.back()) {
            ++c.repeats;  // sent again after an outage: must be one already had
            continue;
        }
        c.lines.push_back(l.substr(0, at));
        c.seqs.push_back(seq);
    }
    return c;
}

class Mqtt : public ::testing::TestWithParam<Program> {
  protected:
    void SetUp() override {
        if (system("command -v mosquitto >/dev/null && command -v mosquitto_sub >/dev/null"))
            GTEST_SKIP() << "mosquitto is not installed";
        broker.dir = relay.dir();
        relay.setSetting("Port", std::to_string(kPort));
        relay.setSetting("StatusPort", std::to_string(kStatusPort));
        relay.setSetting("Timer", "50");
        relay.setSetting("MqttBroker", "mqtt://127.0.0.1:" + std::to_string(kBroker));
        relay.setSetting("MqttTopic", "k/lines");
    }
    void subscribe() {
        sub = spawnQuiet({"mosquitto_sub", "-p", std::to_string(kBroker), "-V", "5", "-q", "1",
                          "-c", "-i", "sub", "-x", "600", "-F", "%p %P", "-t", "k/lines"},
                         relay.dir() + "/sub.out");
        usleep(300000);
    }
    // Sends lines from..to; the subscriber's lines once `want` arrived or the time is up.
    void send(int from, int to) {
        const int fd = connectTo(kPort);
        for (int i = from; i <= to; ++i) sendAll(fd, "line " + std::to_string(i) + "\n");
        closeFd(fd);
    }
    Check waitFor(size_t want, int seconds) {
        Check c;
        for (int i = 0; i < seconds * 10 && c.lines.size() < want; ++i, usleep(100000))
            c = parse(relay.readFile("sub.out"));
        return c;
    }
    void expectLines(const Check& c, int count, int maxRepeats) {
        ASSERT_EQ(c.lines.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(c.lines[i], "line " + std::to_string(i + 1));
            if (i > 0) {
                EXPECT_EQ(c.seqs[i], c.seqs[i - 1] + 1);
            }
        }
        EXPECT_LE(c.repeats, maxRepeats);
    }
    void TearDown() override { end(sub); }
    ServerUnderTest relay{Program::Linux};
    Broker broker;
    pid_t sub = -1;
};

TEST_P(Mqtt, LinesArriveInOrderWithTheirSeqAsTheReceiversGetThem) {
    broker.start();
    subscribe();
    ASSERT_TRUE(relay.start());
    const int receiver = connectTo(kPort + 1);
    send(1, 200);
    const Check c = waitFor(200, 30);
    expectLines(c, 200, 0);
    std::string tcp = readFor(receiver, 200 * 9, 5000);
    closeFd(receiver);
    std::string mqtt;
    for (const std::string& l : c.lines) mqtt += l + "\n";
    EXPECT_EQ(tcp, mqtt);
}

TEST_P(Mqtt, EveryLineComesThroughABrokerOutageAndAKillOfTheRelay) {
    relay.setSetting("Spool", relay.dir() + "/spool");
    broker.start();
    subscribe();
    ASSERT_TRUE(relay.start());
    send(1, 100);
    sleep(2);
    end(broker.pid);  // for 5 s during the stream
    sleep(5);
    broker.start();
    waitFor(100, 30);
    end(broker.pid);  // and while it is away the relay is killed in the middle of a stream
    send(101, 200);
    sleep(2);
    kill(relay.pid(), SIGKILL);
    for (int i = 0; i < 200 && relay.running(); ++i) usleep(10000);
    ASSERT_TRUE(relay.start());
    broker.start();
    expectLines(waitFor(200, 40), 200, 2 * 20);
}

TEST_P(Mqtt, WrongSettingsKeepTheBridgeOffAndTheRelayOn) {
    const std::string password = relay.dir() + "/password";
    std::ofstream(password) << "secret\n";
    chmod(password.c_str(), 0644);
    const std::map<std::string, std::string> cases[] = {
        {{"MqttBroker", "http://127.0.0.1"}},
        {{"MqttTopic", "k/+"}},  // (a # would start a comment in the file)
        {{"MqttUser", "u"}, {"MqttPasswordFile", password}},
    };
    for (const auto& c : cases) {
        for (const auto& [k, v] : c) relay.setSetting(k, v);
        ASSERT_TRUE(relay.start());
        EXPECT_TRUE(isListening(kPort));
        const std::string health = get("/healthz");
        EXPECT_NE(health.find(" 503 "), std::string::npos) << health;
        EXPECT_NE(health.find("mqtt"), std::string::npos) << health;
        EXPECT_NE(get("/status.json").find("\"state\":\"error\""), std::string::npos);
        relay.stop();
        SetUp();
    }
}

TEST_P(Mqtt, TlsChecksTheBrokersCertificateAndName) {
    const std::string d = relay.dir(), ca = "-days 2 -nodes -newkey rsa:2048 -subj ";
    std::ofstream(d + "/ext") << "subjectAltName=DNS:localhost\n";
    ASSERT_EQ(system(("cd " + d + " && (openssl req -x509 " + ca + "/CN=ca -keyout ca.key -out " +
                      "ca.crt && openssl req -x509 " + ca + "/CN=other -keyout o.key -out o.crt" +
                      " && openssl req " + ca + "/CN=localhost -keyout s.key -out s.csr && " +
                      "openssl x509 -req -in s.csr -CA ca.crt -CAkey ca.key -CAcreateserial " +
                      "-days 2 -extfile ext -out s.crt)" + " >/dev/null 2>&1")
                         .c_str()),
              0);
    broker.extra = "listener " + std::to_string(kTlsBroker) + " 127.0.0.1\ncafile " + d +
                   "/ca.crt\ncertfile " + d + "/s.crt\nkeyfile " + d + "/s.key\n";
    broker.start();
    const std::string tls = "mqtts://localhost:" + std::to_string(kTlsBroker);
    struct Case {
        std::string broker, ca, state;
    } cases[] = {{tls, "/ca.crt", "connected"},
                 {tls, "/o.crt", "error"},  // another CA
                 {"mqtts://127.0.0.1:" + std::to_string(kTlsBroker), "/ca.crt", "error"}};
    ASSERT_TRUE(relay.start());
    for (const Case& c : cases) {
        relay.setSetting("MqttBroker", c.broker);
        relay.setSetting("MqttCaFile", d + c.ca);
        relay.reload();
        std::string status;
        for (int i = 0; i < 50 && status.find("\"state\":\"" + c.state) == std::string::npos;
             ++i, usleep(100000))
            status = get("/status.json");
        EXPECT_NE(status.find("\"state\":\"" + c.state), std::string::npos) << c.broker << c.ca;
        if (c.state == "error") {
            EXPECT_NE(status.find("TLS: "), std::string::npos) << status;
        }
    }
    EXPECT_NE(relay.readFile("IpError.txt").find("TLS: "), std::string::npos);
}

TEST_P(Mqtt, MessagesOfTheSubscribedTopicComeOutPacedInOrder) {
    relay.setSetting("MqttSubscribe", "k/in");
    broker.start();
    ASSERT_TRUE(relay.start());
    const int receiver = connectTo(kPort + 1);
    usleep(500000);
    for (const char* m : {"in 1", "in 2\nin 3", "in 4"})
        run({"mosquitto_pub", "-p", std::to_string(kBroker), "-q", "1", "-t", "k/in", "-m", m});
    EXPECT_EQ(readFor(receiver, 20, 5000), "in 1\nin 2\nin 3\nin 4\n");
    const std::string status = get("/status.json");  // a sender named mqtt with the lines
    EXPECT_NE(status.find("\"address\":\"mqtt\",\"connected_seconds\""), std::string::npos);
    EXPECT_NE(status.find("\"lines_received\":4"), std::string::npos) << status;
    closeFd(receiver);
}

// Past a full spool the topic waits at the broker, as a sender waits in its socket.
TEST_P(Mqtt, ASubscriptionPausesAtAFullSpoolAndLosesNothing) {
    relay.setSetting("MqttSubscribe", "k/in");
    relay.setSetting("Spool", relay.dir() + "/spool");
    relay.setSetting("SpoolLimit", "1");  // MiB, against 300 messages of 8 KiB
    broker.start();
    ASSERT_TRUE(relay.start());
    const int receiver = connectTo(kPort + 1);
    usleep(500000);
    std::string all;
    for (int i = 1; i <= 300; ++i) all += "in " + std::to_string(i) + std::string(8000, '.') + "\n";
    std::ofstream(relay.dir() + "/in.txt") << all;
    run({"sh", "-c",
         "mosquitto_pub -p " + std::to_string(kBroker) + " -q 1 -t k/in -l < " + relay.dir() +
             "/in.txt"});
    std::string got;
    uint64_t most = 0;
    for (int i = 0; i < 150 && got.size() < all.size(); ++i) {
        const std::string m = get("/metrics"), name = "\nkorrin_spool_bytes ";
        const size_t at = m.find(name);
        if (at != std::string::npos)
            most = std::max<uint64_t>(most, std::stoull(m.substr(at + name.size())));
        got += readFor(receiver, all.size() - got.size(), 200);
    }
    closeFd(receiver);
    std::string order;  // the numbers of the lines as they came
    for (size_t at = 0; (at = got.find("in ", at)) != std::string::npos; at += 3)
        order += got.substr(at + 3, got.find('.', at) - at - 3) + " ";
    EXPECT_TRUE(got == all) << got.size() << " of " << all.size() << " bytes: " << order;
    EXPECT_LT(most, 2u << 20);
    EXPECT_NE(relay.readFile("IpError.txt").find("MQTT subscription: let go"), std::string::npos);
}

// korrin-relay only: the name keeps it out of the 32-bit Windows run.
INSTANTIATE_TEST_SUITE_P(Programs, Mqtt, ::testing::Values(Program::Linux),
                         [](const auto& p) { return std::string(programName(p.param)); });

}  // namespace
}  // namespace korrin::blackbox
