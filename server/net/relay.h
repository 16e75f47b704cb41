// The relay: the peers on its two ports, the send queue's pacing and the back-pressure on the
// senders. Its parts each keep their own state: the ports and their admission (RelayPorts),
// the spool (Spool), the receivers that catch up (CatchUps) and where the lines are kept
// (LineStore). The send step hands each line to a list of outputs, the TCP receivers first.
//
// Names: the routines, tables and controls that operators, the error log and the test probe
// know by name keep their historic spelling (Init_IP, Send_Msg, SenderIds, ReceiverHosts,
// MaxReceiverId, List1..List3, Label2), so that each can be found by the name people use for
// it; the window's handlers use them. Everything else, old or new, is camelCase, and new code
// reads the same state through plain names (senders(), receivers(), lastSendError()).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/net/catch_up.h"
#include "server/net/limits.h"
#include "server/net/line_store.h"
#include "server/net/listener.h"
#include "server/net/memory_line_store.h"
#include "server/net/relay_log.h"
#include "server/net/relay_output.h"
#include "server/net/relay_ports.h"
#include "server/net/relay_seams.h"
#include "server/net/relay_status.h"
#include "server/net/spool_settings.h"

namespace korrin {

class Spool;

class Relay {
  public:
    static constexpr int kTableSize = limits::kReceivers;

    Relay(Listener& input, Listener& output, SettingsStore& settings, Timer& sendTimer,
          ErrorLog& log, RelayView& view, Clock& clock);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

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
    const ListenerSettings& listenerSettings() const { return ports_.applied(); }
    bool inputListening() const { return ports_.inputListening(); }
    bool outputListening() const { return ports_.outputListening(); }
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
    const SpoolSettings& spoolSettings() const;
    // Why the spool cannot be used or written; empty when it works.
    const std::string& spoolError() const;
    // Whether the queue is kept in the spool (else in memory only).
    bool spoolOpen() const { return store_ != &memory_; }
    // "ReplayLines", "ResumeSeconds" as read at load.
    uint64_t replayLines() const { return catchUps_.replayLines(); }
    int resumeSeconds() const { return catchUps_.resumeSeconds(); }

    // Whether a peer may connect ("AllowSenders", "AllowReceivers"); a refusal is logged.
    bool senderRequest(const IpAddress& peer) { return ports_.senderRequest(peer); }
    bool receiverRequest(const IpAddress& peer) { return ports_.receiverRequest(peer); }
    // The same for another port served beside the relay's two: the refusal goes to the same
    // bounded log and counters.
    bool admit(const AllowList& allow, int32_t port, const IpAddress& peer) {
        return ports_.admit(allow, port, peer);
    }

    // Input listener (senders).
    void senderOpened(int id);
    void senderData(int id, std::string_view text, bool endOfLine);
    // Complete lines of one read: the same as senderData of each, with the bookkeeping once.
    void senderLines(int id, const std::vector<std::string_view>& lines);
    void senderClosed(int id) { removeSender(id); }
    // A sender of another kind (a topic the MQTT bridge reads) is listed with the TCP ones;
    // its kind's linesSent(id) counts the lines it gave.
    void otherSenderOpened(ReceiverKind& kind, int id, const std::string& address);
    void otherSenderClosed(ReceiverKind& kind, int id);
    void logError(int code, std::string_view description) { log_.error(code, description); }
    // entrySerial: the serial of the entry the operator double-clicked; an entry that has
    // gone meanwhile closes nothing.
    void senderDoubleClick(uint64_t entrySerial);

    // Output listener (receivers).
    void receiverOpened(int id);
    void receiverClosed(int id);
    void receiverDoubleClick(uint64_t entrySerial);

    // SendTimer tick.
    void Send_Msg();
    // Another kind of receiver: it gets each line the send step sends, and the store keeps
    // what it still wants. It must outlive the relay's use of it.
    void addOutput(RelayOutput& output) { outputs_.push_back(&output); }
    void removeOutput(RelayOutput& output) {
        outputs_.erase(std::remove(outputs_.begin(), outputs_.end(), &output), outputs_.end());
    }

    // A receiver of another kind connected or left: it is listed with the TCP ones.
    void otherReceiverOpened(ReceiverKind& kind, int id, const std::string& address);
    void otherReceiverClosed(ReceiverKind& kind, int id);
    // One was dropped because a send to it failed; lines it missed that are no longer kept.
    void receiverDropped() { ++counters_.sendFailures; }
    void countLost(const std::string& reason, uint64_t lines) {
        counters_.linesLost[reason] += lines;
    }
    // The kept lines from a sequence on, for an output that catches up.
    std::unique_ptr<LineReader> readKept(uint64_t from) { return store_->reader(from); }
    uint64_t lastSent() const { return store_->lastSent(); }
    // The place of the last line the broker acknowledged, kept in the spool; none without one.
    std::optional<uint64_t> ackedPlace() const { return store_->ackedSeq(); }
    void markAcked(uint64_t seq) { store_->markAcked(seq); }
    // An output wants fewer lines kept than before (the broker acknowledged some): they go
    // now, not at the next send, and reading resumes if it paused at a full spool.
    void outputLetGo();
    // The first sequence this run gave; ids below it were given by an earlier run and are not
    // known here (0: every sequence is known, as the spool's go on across runs).
    uint64_t firstSeqOfRun() const { return spoolOpen() ? 0 : memoryFirstSeq_; }

    // Test mode's generated lines join the same queue.
    void appendToQueue(std::string line) { enqueue(line); }

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
    const std::string& Label2() const { return label2_; }
    // Whether a send step has sent a line yet, and the highest receiver id at the last one.
    bool lineSent() const { return lineSent_; }
    std::optional<int16_t> lastSentToMax() const { return lastSentToMax_; }
    // The lines of the queue held in memory, front first: all of them, or with a spool the
    // oldest ones (as many as its window holds).
    const LineQueue& queue() const { return store_->window(); }
    uint64_t queueLines() const { return store_->lines(); }
    // The oldest sent line still kept for an output that wants it.
    uint64_t firstKept() const { return store_->firstKept(); }
    // Sequence number of the queue's head; it grows by one with each removed line.
    uint64_t queueHeadSeq() const { return store_->headSeq(); }
    const std::string& statusAddress() const { return ports_.statusAddress(); }
    const std::string& statusPort() const { return ports_.statusPort(); }
    bool readingPaused() const { return paused_; }
    // Of the queued lines: their bytes in memory, or with a spool the bytes it holds on disk.
    uint64_t queueBytes() const { return store_->bytes(); }
    const RelayCounters& counters() const { return counters_; }
    // Lines received from a sender, sent to a receiver, while connected (by connection id).
    uint64_t senderLines(int id) const;
    uint64_t receiverLines(int id) const;
    size_t receiverBytesBehind(int id) { return out_.pendingBytes(id); }
    // The last lines written to the error log, oldest first, without their line end.
    const std::deque<std::string>& recentLog() const { return log_.recent(); }
    static constexpr size_t kRecentLogLines = RelayLog::kRecentLines;
    int32_t inputPort() const { return ports_.inputPort(); }
    int32_t outputPort() const { return ports_.outputPort(); }
    Clock& clock() { return clock_; }
    ErrorNumbers errorNumbers() const { return log_.numbers(); }
    // The error that made the last Init_IP fail (its message box), 0 after a success.
    int listenError() const { return ports_.listenError(); }
    // List2's selection: the head after a sender's line was appended, nothing after a send step.
    bool queueHeadSelected() const { return queueHeadSelected_; }
    // Everything the status port shows of the relay, at this moment.
    RelayStatus status();

  private:
    // The TCP receivers as the first output.
    class Receivers final : public RelayOutput {
      public:
        explicit Receivers(Relay& r) : relay_(r) {}
        void send(uint64_t seq, std::string_view line) override { relay_.sendLine(seq, line); }
        void stepDone() override { relay_.catchUps_.feedAll(); }
        uint64_t keepFrom(uint64_t lastSent) override {
            return relay_.catchUps_.keepFrom(lastSent);
        }

      private:
        Relay& relay_;
    };
    void addSender(int id);
    void removeSender(int id);
    void addReceiver(int id);
    void removeReceiver(int id);
    void sendLine(uint64_t seq, std::string_view line);
    void enqueue(std::string_view line);
    void pauseFull();
    void dequeueHead();
    // The oldest line some output wants kept, and the oldest one owed.
    std::pair<uint64_t, uint64_t> keptFrom(uint64_t lastSent);
    void pauseInput(int code, const std::string& why);
    void resumeIfLow();
    void useStore(LineStore& store);
    PeerEntry peerEntry(Listener& l, int id);

    Listener& in_;
    Listener& out_;
    SettingsStore& settings_;
    Timer& sendTimer_;
    RelayView& view_;
    Clock& clock_;
    RelayLog log_;
    RelayCounters counters_;

    int16_t sendInterval_ = 500;
    std::array<int16_t, kTableSize> senderIds_;
    std::array<std::string, kTableSize> receiverHosts_;
    std::optional<int16_t> maxReceiverId_;
    std::vector<PeerEntry> list1_;
    std::vector<PeerEntry> list3_;
    std::vector<uint64_t> senderLines_;  // by connection id
    CatchUps::LineCounts receiverLines_{};
    bool paused_ = false;
    bool queueHeadSelected_ = false;
    bool lineSent_ = false;
    std::optional<int16_t> lastSentToMax_;
    std::optional<Clock::TimePoint> lastStep_;
    std::string label2_;
    uint64_t nextSerial_ = 1;  // of peer entries, unique across both lists
    uint64_t memoryFirstSeq_;

    // Declared after what they point at.
    RelayPorts ports_;
    MemoryLineStore memory_{memoryFirstSeq_};
    std::unique_ptr<Spool> spool_;
    LineStore* store_ = &memory_;  // the spool's once it is open
    CatchUps catchUps_;            // its readers go before the store they read
    Receivers receiversOutput_{*this};
    std::vector<RelayOutput*> outputs_{&receiversOutput_};
};

}  // namespace korrin
