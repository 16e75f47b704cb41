// The status port's event streams: receivers in a browser. Each is a connection of the status
// port that got its answer's head; from then on it is an output of the relay like the TCP
// receivers: it gets each line the send step sends, resumes after the id the client names, and
// keeps what it may still want in the store.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "server/net/catch_up.h"
#include "server/net/limits.h"
#include "server/net/listener.h"
#include "server/net/relay.h"
#include "server/status/event_format.h"

namespace korrin {

class EventStreams final : public RelayOutput, public ReceiverKind {
  public:
    static constexpr int kMax = limits::kEventStreams;
    static constexpr std::chrono::seconds kKeepalive{15};
    // How long a stream that left is kept resumable when ResumeSeconds is 0.
    static constexpr int kResumeSeconds = 60;
    // The most lines ?replay= gives when ReplayLines is not set.
    static constexpr uint64_t kReplayLines = 100;

    EventStreams(Listener& listener, Relay& relay);
    // While off, the streams want nothing from the store.
    void setEnabled(bool on) { enabled_ = on; }
    bool full() const { return streams_.size() >= static_cast<size_t>(kMax); }
    size_t size() const { return streams_.size(); }
    bool isStream(int conn) const { return byConn_.count(conn) > 0; }
    // The status connection conn, from address, whose answer's head was sent, becomes a
    // stream that begins where start says (idText: the id as the client sent it).
    void open(int conn, const std::string& address, const events::StreamStart& start,
              const std::string& idText);
    // The connection went.
    void closed(int conn);

    void send(uint64_t seq, std::string_view line) override;
    void stepDone() override;
    uint64_t keepFrom(uint64_t lastSent) override;

    const char* name() const override { return "events"; }
    void close(int id) override;
    uint64_t linesSent(int id) const override;
    uint64_t bytesBehind(int id) const override;

  private:
    // The lines a browser may not have read yet: what the relay still had to send when the
    // stream went, and what the socket buffers at both ends held, which no one here can see.
    // So the last kUnreadBytes handed to a stream stay kept for its return, marked every
    // kMarkBytes or so; keeping some more costs memory only, never a repeat, as the browser names
    // the last line it got.
    class Trail {
      public:
        static constexpr uint64_t kUnreadBytes = 2 * limits::kSendCap;
        static constexpr uint64_t kMarkBytes = 4096;
        void handed(uint64_t seq, size_t bytes);
        // The oldest line of the trail; none before the first line.
        std::optional<uint64_t> from() const {
            return marks_.empty() ? std::nullopt : std::optional(marks_.front().first);
        }

      private:
        uint64_t queued_ = 0;                              // bytes handed in all
        std::deque<std::pair<uint64_t, uint64_t>> marks_;  // a line, the bytes handed before it
    };
    struct Stream {
        int conn = 0;
        std::string who;    // address-id, as the log names it
        uint64_t next = 0;  // the sequence it gets next
        bool live = false;  // else catching up from reader
        bool dropped = false;
        std::unique_ptr<LineReader> reader;
        uint64_t lines = 0;
        Clock::TimePoint lastWrite;
        Trail trail;
    };
    struct Place {
        uint64_t next;
        Clock::TimePoint left;
    };
    uint64_t maxReplay() const;
    // Where a new stream begins; said in the stream and the log when lines are missing.
    uint64_t startAt(Stream& s, const events::StreamStart& start, const std::string& idText,
                     const std::string& address);
    void lost(Stream& s, uint64_t from, uint64_t firstKept);
    bool write(Stream& s, const std::string& text);
    void feed(Stream& s);

    Listener& listener_;
    Relay& relay_;
    bool enabled_ = false;
    std::map<int, Stream> streams_;    // by id, 0..kMax-1, as List3 shows it
    std::map<int, int> byConn_;        // connection -> id
    std::deque<Place> places_;         // of streams that left, oldest first
    std::set<std::string> idsLogged_;  // addresses whose unusable id was logged
};

}  // namespace korrin
