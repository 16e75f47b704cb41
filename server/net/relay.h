// The relay's state and handlers: connection tables, peer lists, the send queue and its pacing.
//
// Names: the routines, tables and controls that operators, the error log and the test probe
// know by name keep their historic spelling (Init_IP, Send_Msg, SenderIds, ReceiverHosts,
// MaxReceiverId, List1..List3, Label2..Label4), so that each can be found by the name people
// use for it; the window's handlers use them. Everything else, old or new, is camelCase, and
// new code reads the same state through plain names (senders(), receivers(), lastSendError()).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/ip_address.h"
#include "server/net/journal.h"
#include "server/net/line_queue.h"
#include "server/net/listener.h"
#include "server/net/refusal_log.h"
#include "server/net/relay_seams.h"
#include "server/net/send_queue.h"

namespace korrin {

struct PeerEntry {
    std::string text;  // remote address, "-", connection id
    int32_t id;        // the list entry's item data
    uint64_t serial;   // this entry and no other, also when its id comes back later
    std::string address;
    Clock::WallTime since;
};

// How late the send steps ran against their due time (one interval after the step before),
// in buckets of seconds, as a monitoring system reads a histogram.
struct LatenessHistogram {
    static constexpr double kBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025,
                                         0.05,  0.1,    0.25,  0.5,  1.0};
    static constexpr size_t kBuckets = sizeof kBounds / sizeof kBounds[0];
    uint64_t counts[kBuckets + 1] = {};  // per bucket, the last one past every bound
    double sum = 0;
    uint64_t count = 0;
    void add(double seconds);
};

// What the relay has done since it started, for the status page.
struct RelayCounters {
    uint64_t linesIn = 0;           // complete lines that joined the queue
    uint64_t linesOut = 0;          // lines the send steps took from the queue
    uint64_t sendFailures = 0;      // receivers dropped because a send to them failed
    uint64_t replayedLines = 0;     // sent lines given again to a receiver that connected
    uint64_t resumedReceivers = 0;  // receivers that took up their place from before
    std::map<std::string, uint64_t> linesLost;  // by reason: "not_kept", "damaged"
    std::map<int32_t, uint64_t> refusedByPort;
    LatenessHistogram lateness;
};

// What the listeners are started with, read in one go: what a restart applies is what a
// later check for changes compares.
struct ListenerSettings {
    std::string port;  // "Port" as stored
    ListText bind, allowSenders, allowReceivers;
    bool operator==(const ListenerSettings& o) const {
        return port == o.port && bind == o.bind && allowSenders == o.allowSenders &&
               allowReceivers == o.allowReceivers;
    }
    bool operator!=(const ListenerSettings& o) const { return !(*this == o); }
};
ListenerSettings readListenerSettings(SettingsStore& store);

// The spool under the send queue, read at load: a change takes effect at the next start.
struct SpoolSettings {
    std::string folder;                           // "Spool": empty keeps the queue in memory only
    int syncMs = 200;                             // "SpoolSync": between flushes; 0 after each read
    uint64_t limitBytes = 1024ull * 1024 * 1024;  // "SpoolLimit", given in MiB
};

// Makes the file seam of a spool folder on this platform.
using FolderMaker = std::function<std::unique_ptr<JournalFolder>(const std::string& path)>;

// Durations of the spool's flushes to stable storage, for the status page.
struct SyncTimes {
    LatenessHistogram histogram;  // in seconds
    std::deque<double> recent;    // the last kRecent, in seconds
    static constexpr size_t kRecent = 1000;
    void add(double seconds);
    double p99() const;
};

// How a (re)start of the listeners went.
struct ListenResult {
    int error = 0;              // the first failure's Winsock-style code; 0: both listen
    bool settingWrong = false;  // a setting is wrong: trying again without a new one cannot help
    bool ok() const { return error == 0; }
};

class Relay {
  public:
    static constexpr int kTableSize = 31;
    // Past either mark the server stops reading from senders until the queue is down to half.
    static constexpr size_t kQueueHighLines = 100000;
    static constexpr size_t kQueueHighBytes = 64u * 1024 * 1024;

    Relay(Listener& input, Listener& output, SettingsStore& settings, Timer& sendTimer,
          ErrorLog& log, RelayView& view, Clock& clock);

    // Load handler; makeLanguage runs where the window sets its language texts. How the
    // listeners started.
    ListenResult load(const std::function<void()>& makeLanguage);
    // Reads the listener settings and restarts both listeners with them; a failure also shows
    // "Error setting Portaddress" through the view.
    ListenResult Init_IP();
    ListenResult Init_IP(const ListenerSettings& settings);
    // For a front end that retries on its own: with the settings last applied, starts the
    // listeners that do not listen; a listening one and its peers are not touched.
    ListenResult reopenListeners();
    // The settings the last Init_IP applied.
    const ListenerSettings& listenerSettings() const { return applied_; }
    // A listener still on a number the settings no longer give does not count as listening.
    bool inputListening() const { return input_.listeningAsApplied(); }
    bool outputListening() const { return output_.listeningAsApplied(); }
    // The addresses of Bind a listening port skipped: this computer does not have them.
    std::vector<UnboundAddress> inputNotBound() const { return in_.notBound(); }
    std::vector<UnboundAddress> outputNotBound() const { return out_.notBound(); }
    // Switches both listeners off and closes every connection.
    void unload();

    // Lets "Spool" work: the front end's folders, and a timer for the flushes and retries.
    // Without it the setting is not read and the queue stays in memory.
    void useSpool(FolderMaker makeFolder, Timer& spoolTimer);
    // The spool timer's tick.
    void spoolTick();
    // What one read from a sender gave has been handed over: its lines reach the journal now,
    // so that a killed process keeps every line it read.
    void senderReadDone();
    const SpoolSettings& spoolSettings() const { return spool_; }
    // The open journal; null when the queue is in memory only or the spool cannot be used.
    const Journal* journal() const { return journal_.get(); }
    // Why the spool cannot be used or written; empty when it works.
    const std::string& spoolError() const { return spoolError_; }
    const SyncTimes& spoolSyncTimes() const { return syncTimes_; }
    // "ReplayLines", "ResumeSeconds" as read at load.
    uint64_t replayLines() const { return replayLines_; }
    int resumeSeconds() const { return resumeSeconds_; }

    // Whether a peer may connect ("AllowSenders", "AllowReceivers"); a refusal is logged.
    bool senderRequest(const IpAddress& peer);
    bool receiverRequest(const IpAddress& peer);
    // The same for another port served beside the relay's two: the refusal goes to the same
    // bounded log and counters.
    bool admit(const AllowList& allow, int32_t port, const IpAddress& peer);

    // Input listener (senders).
    void senderOpened(int id);
    void senderData(int id, std::string_view text, bool endOfLine);
    // Complete lines of one read: the same as senderData of each, with the bookkeeping once.
    void senderLines(int id, const std::vector<std::string_view>& lines);
    void senderClosed(int id);
    void logError(int code, std::string_view description);
    // entrySerial: the serial of the entry the operator double-clicked; an entry that has
    // gone meanwhile closes nothing.
    void senderDoubleClick(uint64_t entrySerial);

    // Output listener (receivers).
    void receiverOpened(int id);
    void receiverClosed(int id);
    void receiverDoubleClick(uint64_t entrySerial);

    // SendTimer tick.
    void Send_Msg();

    // Test mode's generated lines join the same queue.
    void appendToQueue(std::string line);

    // State mirrored by the window.
    int16_t SendInterval() const { return sendInterval_; }
    const std::array<int16_t, kTableSize>& SenderIds() const { return senderIds_; }
    const std::array<std::string, kTableSize>& ReceiverHosts() const { return receiverHosts_; }
    std::optional<int16_t> MaxReceiverId() const { return maxReceiverId_; }
    const std::vector<PeerEntry>& List1() const { return list1_; }
    const std::vector<PeerEntry>& List3() const { return list3_; }
    const std::vector<PeerEntry>& senders() const { return list1_; }
    const std::vector<PeerEntry>& receivers() const { return list3_; }
    // The last failed send to a receiver, as Label2 shows it; empty once a receiver connects.
    const std::string& lastSendError() const { return label2_; }
    // The lines of the queue held in memory, front first: all of them, or with a spool the
    // oldest ones (as many as its window holds).
    const LineQueue& queue() const { return queue_.window(); }
    uint64_t queueLines() const { return queue_.lines(); }
    // Sequence number of the queue's head; it grows by one with each removed line.
    uint64_t queueHeadSeq() const { return queue_.headSeq(); }
    const std::string& Label2() const { return label2_; }
    const std::string& Label3() const { return label3_; }
    const std::string& Label4() const { return label4_; }
    const std::string& statusAddress() const { return statusAddress_; }
    const std::string& statusPort() const { return statusPort_; }
    bool readingPaused() const { return paused_; }
    // Of the queued lines: their bytes in memory, or with a spool the bytes it holds on disk.
    uint64_t queueBytes() const { return queue_.bytes(); }
    const RelayCounters& counters() const { return counters_; }
    // Lines received from a sender, sent to a receiver, while connected (by connection id).
    uint64_t senderLines(int id) const;
    uint64_t receiverLines(int id) const;
    size_t receiverBytesBehind(int id) { return out_.pendingBytes(id); }
    // The last lines written to the error log, oldest first, without their line end.
    const std::deque<std::string>& recentLog() const { return recentLog_; }
    static constexpr size_t kRecentLogLines = 20;
    int32_t inputPort() const { return input_.number; }
    int32_t outputPort() const { return output_.number; }
    Clock& clock() { return clock_; }
    ErrorNumbers errorNumbers() const { return log_.numbers(); }
    // The error that made the last Init_IP fail (its message box), 0 after a success.
    int listenError() const { return listenError_; }
    // List2's selection: the head after a sender's line was appended, nothing after a send step.
    bool queueHeadSelected() const { return queueHeadSelected_; }

  private:
    // One listener and the rules it runs with.
    struct Port {
        Port(Listener& l, const char* key, std::vector<PeerEntry>& list)
            : listener(l), allowKey(key), peers(list) {}
        Listener& listener;
        const char* allowKey;  // "AllowSenders" or "AllowReceivers"
        std::vector<PeerEntry>& peers;
        AllowList allow;
        int32_t number = 0;
        int32_t wanted = 0;  // the number the applied settings give
        bool listening = false;
        bool started = false;  // bind and allowText hold what it was last started with
        ListText bind, allowText;
        bool listeningAsApplied() const { return listening && number == wanted; }
    };
    // Closes every connection of the port; r, if given, keeps the first failure.
    void closeAll(Port& p, ListenResult* r = nullptr);
    // Switches the listener off; with a wrong Bind every peer goes, else those the new rules
    // refuse.
    void shut(Port& p, const ParsedList<IpAddress>& bind, const ListText& allowText);
    // Switches the listener off and on again with these rules; false when it does not listen.
    bool restart(Port& p, std::optional<int32_t> number, const ParsedList<IpAddress>& bind,
                 const ListText& bindText, const ListText& allowText, ListenResult& r);
    // Parses a list setting; a wrong one is logged and makes its port stay closed.
    template <typename T>
    ParsedList<T> parseList(const char* key, const ListText& value,
                            ParsedList<T> (*parse)(std::string_view), ListenResult& r);
    // Closes the peers of a listener that its new allow list refuses, or that came in through
    // an address the new Bind does not listen on (everyone, for a wrong list).
    void closeRefused(Port& p, const ParsedList<IpPrefix>& allow,
                      const ParsedList<IpAddress>& bind);
    ListenResult failed(const ListenResult& r);
    void showListening(const ParsedList<IpAddress>& bind);
    void logRefusals(const std::vector<std::string>& lines);

    void addSender(int id);
    void removeSender(int id);
    void addReceiver(int id);
    void removeReceiver(int id);
    void enqueue(std::string_view line);
    void pauseFull();
    void dequeueHead();
    bool queueFull() const;
    bool queueLow() const;
    void pauseInput(int code, const std::string& why);
    void resumeInput(const std::string& why);
    void readSpoolSettings();
    bool openSpool();
    void flushSpool(bool toStableStorage);
    void armSpoolTimer();
    bool inputMayOpen() const { return spool_.folder.empty() || journal_ || !makeFolder_; }

    // Receivers that get sent lines again ("ReplayLines", "ResumeSeconds"): each is fed the
    // lines from its place on, as it takes them, and goes live once it has them all.
    struct CatchUp {
        uint64_t next = 0;  // the sequence it gets next
        Journal::Reader reader;
    };
    struct Place {
        uint64_t next;
        Clock::TimePoint left;
    };
    void readCatchUpSettings();
    uint64_t lastSent() const { return queue_.headSeq() - 1; }
    uint64_t firstKept() const;
    uint64_t keepFrom();
    void startCatchUp(int id);
    void leaveCatchUp(int id);
    void keepSent(std::string_view line);
    // A line of the sequence is queued for the receiver: until the network takes it whole, a
    // receiver that leaves comes back to it.
    void handed(int id, uint64_t seq, size_t bytes);
    void feedCatchUps();
    // False when the receiver was dropped.
    bool feed(int id, CatchUp& c);
    void countLost(const std::string& reason, uint64_t lines, const std::string& who,
                   const std::string& why = "that are no longer kept");
    std::string maxReceiverText() const;
    PeerEntry peerEntry(Listener& l, int id);

    Listener& in_;
    Listener& out_;
    SettingsStore& settings_;
    Timer& sendTimer_;
    ErrorLog& log_;
    RelayView& view_;
    Clock& clock_;

    int16_t sendInterval_ = 500;
    std::array<int16_t, kTableSize> senderIds_;
    std::array<std::string, kTableSize> receiverHosts_;
    std::optional<int16_t> maxReceiverId_;
    std::vector<PeerEntry> list1_;
    std::vector<PeerEntry> list3_;
    SendQueue queue_;
    bool paused_ = false;
    FolderMaker makeFolder_;
    Timer* spoolTimer_ = nullptr;
    SpoolSettings spool_;
    std::unique_ptr<JournalFolder> folder_;
    std::unique_ptr<Journal> journal_;  // after folder_, which it uses
    std::string spoolError_;
    bool spoolWriteFailing_ = false;
    SyncTimes syncTimes_;
    uint64_t replayLines_ = 0;
    int resumeSeconds_ = 0;
    std::map<int, CatchUp> catchUps_;
    std::multimap<std::string, Place> places_;  // by the address the receiver came from
    // By address, while places of it are left: the oldest place a returning receiver took.
    std::map<std::string, uint64_t> placesTaken_;
    // Per receiver: bytes queued in all, and the end of each line the network may not have yet.
    struct InFlight {
        uint64_t queued = 0;
        std::deque<std::pair<uint64_t, uint64_t>> ends;  // sequence, queued once it was
    };
    std::array<InFlight, kTableSize> inFlight_;
    LineQueue sentLines_;  // without a spool: the last lines sent, while a catch-up may want them
    uint64_t sentLinesFirst_ = 1;
    bool queueHeadSelected_ = false;
    int listenError_ = 0;
    ListenerSettings applied_;
    ListenResult lastResult_;
    RefusalLog refusals_;
    uint64_t nextSerial_ = 1;
    RelayCounters counters_;
    std::vector<uint64_t> senderLines_;  // by connection id
    std::array<uint64_t, kTableSize> receiverLines_{};
    std::deque<std::string> recentLog_;
    std::optional<Clock::TimePoint> lastStep_;
    std::string label2_, label3_, label4_;
    std::string statusAddress_, statusPort_;
    // Declared after the lists they point at.
    Port input_{in_, "AllowSenders", list1_};
    Port output_{out_, "AllowReceivers", list3_};
};

}  // namespace korrin
