// The relay's state and handlers: connection tables, peer lists, the send queue and its pacing.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ip_address.h"
#include "listener.h"
#include "log_throttle.h"
#include "relay_ports.h"

namespace korrin {

struct PeerEntry {
    std::string text;  // remote address, "-", connection id
    int32_t id;        // the list entry's item data
    uint64_t serial;   // this entry and no other, also when its id comes back later
};

class Relay {
public:
    static constexpr int kTableSize = 31;
    // Past either mark the server stops reading from senders until the queue is down to half.
    static constexpr size_t kQueueHighLines = 100000;
    static constexpr size_t kQueueHighBytes = 64u * 1024 * 1024;

    Relay(Listener& input, Listener& output, SettingsStore& settings, Timer& sendTimer,
          ErrorLog& log, RelayView& view);

    // Load handler; makeLanguage runs where the window sets its language texts.
    void load(const std::function<void()>& makeLanguage);
    void Init_IP();
    void unload();

    // Whether a peer may connect ("AllowSenders", "AllowReceivers"); a refusal is logged.
    bool senderRequest(const IpAddress& peer);
    bool receiverRequest(const IpAddress& peer);

    // Input listener (senders).
    void senderOpened(int id);
    void senderData(int id, std::string_view text, bool endOfLine);
    void senderClosed(int id);
    void inputError(int code, std::string_view description);
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
    const std::deque<std::string>& queue() const { return queue_; }
    // Sequence number of the queue's head; it grows by one with each removed line.
    uint64_t queueHeadSeq() const { return queueHeadSeq_; }
    const std::string& Label2() const { return label2_; }
    const std::string& Label3() const { return label3_; }
    const std::string& Label4() const { return label4_; }
    const std::string& statusAddress() const { return statusAddress_; }
    const std::string& statusPort() const { return statusPort_; }
    bool readingPaused() const { return paused_; }
    // The error that made the last Init_IP fail (its message box), 0 after a success.
    int listenError() const { return listenError_; }
    // List2's selection: the head after a sender's line was appended, nothing after a send step.
    bool queueHeadSelected() const { return queueHeadSelected_; }

private:
    void check_Listbox(int id, int mode);
    void checkListbox2(int id, int mode);
    void enqueue(std::string line);
    void dequeueHead();
    std::string maxReceiverText() const;
    PeerEntry peerEntry(Listener& l, int id);
    bool admit(const AllowList& allow, int32_t port, const IpAddress& peer);

    Listener& in_;
    Listener& out_;
    SettingsStore& settings_;
    Timer& sendTimer_;
    ErrorLog& log_;
    RelayView& view_;

    int16_t sendInterval_ = 500;
    std::array<int16_t, kTableSize> senderIds_;
    std::array<std::string, kTableSize> receiverHosts_;
    std::optional<int16_t> maxReceiverId_;
    std::vector<PeerEntry> list1_;
    std::vector<PeerEntry> list3_;
    std::deque<std::string> queue_;
    size_t queueBytes_ = 0;
    uint64_t queueHeadSeq_ = 0;
    bool paused_ = false;
    bool queueHeadSelected_ = false;
    int listenError_ = 0;
    AllowList allowSenders_, allowReceivers_;
    int32_t inPort_ = 0, outPort_ = 0;
    LogThrottle refusedLog_;
    uint64_t nextSerial_ = 1;
    std::string label2_, label3_, label4_;
    std::string statusAddress_, statusPort_;
};

}  // namespace korrin
