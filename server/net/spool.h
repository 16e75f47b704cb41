// The spool under the send queue: its settings, its folder and journal, the flushes on a
// timer, the retries of a folder that cannot be used, and what a failing write stops.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/net/journal.h"
#include "server/net/journal_line_store.h"
#include "server/net/relay_log.h"
#include "server/net/relay_status.h"
#include "server/net/spool_settings.h"

namespace korrin {

class Spool {
  public:
    // What the relay does when writes start failing (why: the line to log) and work again.
    struct Hooks {
        std::function<void(const std::string& why)> writeFailed;
        std::function<void()> writesAgain;
    };
    Spool(SettingsStore& settings, RelayLog& log, Clock& clock, RelayCounters& counters,
          Hooks hooks);
    ~Spool();

    // Lets "Spool" work: the front end's folders, and a timer for the flushes and retries.
    void use(FolderMaker makeFolder, Timer& timer);
    // Reads the settings and opens the spool when one is set; true when it opened.
    bool load();
    // Not open: tries to open it (true when it did); open: flushes to stable storage.
    bool tick();
    // What one read from a sender gave has been handed over: its lines reach the journal now.
    void readDone();
    // Puts what is written on stable storage, as the relay stops.
    void sync();
    // A read the send step needed failed: said once per error.
    void checkReadError();

    // The store over the open journal; null while the spool is not set or cannot be used.
    LineStore* store() { return store_.get(); }
    // Whether the senders' port may open: a spool that is set must be open first.
    bool inputMayOpen() const { return settings_.folder.empty() || journal_ || !makeFolder_; }
    const SpoolSettings& settings() const { return settings_; }
    // Why the spool cannot be used or written; empty when it works.
    const std::string& error() const { return error_; }
    SpoolStatus status() const;

  private:
    class Reporter;
    void readSettings();
    bool open();
    void flush(bool toStableStorage);
    void armTimer();

    SettingsStore& storeSettings_;
    RelayLog& log_;
    Clock& clock_;
    RelayCounters& counters_;
    Hooks hooks_;
    FolderMaker makeFolder_;
    Timer* timer_ = nullptr;
    SpoolSettings settings_;
    std::unique_ptr<Reporter> reporter_;
    std::unique_ptr<JournalFolder> folder_;
    std::unique_ptr<Journal> journal_;         // after folder_, which it uses
    std::unique_ptr<JournalLineStore> store_;  // after journal_, which it uses
    std::string error_;
    bool writeFailing_ = false;
    SyncTimes syncTimes_;
};

}  // namespace korrin
