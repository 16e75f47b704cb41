#include "server/net/spool.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "server/net/leading_number.h"

namespace korrin {

// The journal's findings go to the log; its lost lines to the counters, as damaged.
class Spool::Reporter final : public JournalReporter {
  public:
    explicit Reporter(Spool& s) : spool_(s) {}
    void note(const std::string& line) override {
        spool_.log_.error(spool_.log_.numbers().spoolFailed, line);
    }
    void lost(uint64_t lines) override { spool_.counters_.linesLost["damaged"] += lines; }

  private:
    Spool& spool_;
};

void SyncTimes::add(double seconds) {
    histogram.add(seconds);
    recent.push_back(seconds);
    if (recent.size() > kRecent) recent.pop_front();
}

double SyncTimes::p99() const {
    if (recent.empty()) return 0;
    std::vector<double> sorted(recent.begin(), recent.end());
    const size_t at = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(sorted.size()))) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at),
                     sorted.end());
    return sorted[at];
}

Spool::Spool(SettingsStore& settings, RelayLog& log, Clock& clock, RelayCounters& counters,
             Hooks hooks)
    : storeSettings_(settings),
      log_(log),
      clock_(clock),
      counters_(counters),
      hooks_(std::move(hooks)),
      reporter_(std::make_unique<Reporter>(*this)) {}

Spool::~Spool() = default;

void Spool::use(FolderMaker makeFolder, Timer& timer) {
    makeFolder_ = std::move(makeFolder);
    timer_ = &timer;
}

namespace {
// A whole number setting: the default when absent; nothing when it is no number in range.
std::optional<uint64_t> wholeNumber(const std::string& text, uint64_t low, uint64_t high) {
    const std::optional<double> n = leadingNumber(text);
    if (!n || *n < static_cast<double>(low) || *n > static_cast<double>(high)) return std::nullopt;
    return static_cast<uint64_t>(roundHalfEven(*n));
}
}  // namespace

bool Spool::load() {
    // Without a front end's folders the setting is not read and the queue stays in memory.
    if (!makeFolder_) return false;
    readSettings();
    return !settings_.folder.empty() && !journal_ && open();
}

void Spool::readSettings() {
    settings_ = SpoolSettings();
    settings_.folder = storeSettings_.get("Spool", "");
    const std::string sync = storeSettings_.get("SpoolSync", "200");
    const std::string limit = storeSettings_.get("SpoolLimit", "1024");
    if (const auto ms = wholeNumber(sync, 0, 60000)) {
        settings_.syncMs = static_cast<int>(*ms);
    } else {
        log_.error(log_.numbers().badSetting,
                   "SpoolSync: \"" + sync + "\" is no number of ms in 0..60000; it is 200");
    }
    if (const auto mib = wholeNumber(limit, 1, 1024 * 1024)) {
        settings_.limitBytes = *mib * 1024 * 1024;
    } else {
        log_.error(log_.numbers().badSetting,
                   "SpoolLimit: \"" + limit + "\" is no number of MiB in 1..1048576; it is 1024");
    }
}

bool Spool::open() {
    folder_ = makeFolder_(settings_.folder);
    // Segments of a quarter of the limit at most, so that sending one makes room again.
    const uint64_t segment =
        std::max<uint64_t>(1024 * 1024, std::min(Journal::kSegmentBytes, settings_.limitBytes / 4));
    auto journal = std::make_unique<Journal>(*folder_, segment);
    if (!journal->open(*reporter_)) {
        if (error_ != journal->error())
            log_.error(log_.numbers().spoolFailed,
                       "Spool: " + journal->error() + "; the input port stays closed");
        error_ = journal->error();
        armTimer();
        return false;
    }
    if (!error_.empty()) log_.error(0, "Spool: " + settings_.folder + " works again");
    error_.clear();
    journal_ = std::move(journal);
    const std::string volume = folder_->durabilityWarning();
    if (!volume.empty())
        log_.error(0, "Spool: " + settings_.folder + " is on " + volume +
                          ": what was flushed may not survive a power loss there");
    const uint64_t free = journal_->freeAtOpen();
    if (free != UINT64_MAX && free + journal_->bytes() < settings_.limitBytes)
        log_.error(0, "Spool: " + settings_.folder + " has room for " +
                          std::to_string((free + journal_->bytes()) >> 20) +
                          " MiB, less than SpoolLimit (" +
                          std::to_string(settings_.limitBytes >> 20) + " MiB); segments of " +
                          std::to_string(journal_->segmentBytes() >> 10) + " KiB");
    store_ = std::make_unique<JournalLineStore>(*journal_, settings_.limitBytes,
                                                [this] { flush(false); });
    if (store_->lines() > 0)
        log_.error(0, "Spool: " + std::to_string(store_->lines()) +
                          " lines recovered; sending from line " +
                          std::to_string(store_->headSeq()) + " on");
    armTimer();
    return true;
}

void Spool::armTimer() {
    // Not open: tried again every 30 s; failing writes: every second; else the flush interval.
    const int ms = !journal_                                ? 30000
                   : writeFailing_ || settings_.syncMs == 0 ? 1000
                                                            : settings_.syncMs;
    timer_->setInterval(ms);
    timer_->setEnabled(true);
}

bool Spool::tick() {
    if (!makeFolder_ || settings_.folder.empty()) return false;
    if (!journal_) return open();
    flush(true);
    return false;
}

void Spool::readDone() {
    if (journal_) flush(settings_.syncMs == 0);
}

void Spool::sync() {
    if (journal_) journal_->sync();
}

void Spool::checkReadError() {
    if (journal_ && !journal_->error().empty() && journal_->error() != error_) {
        error_ = journal_->error();
        log_.error(log_.numbers().spoolFailed, "Spool: " + error_);
    }
}

void Spool::flush(bool toStableStorage) {
    const Clock::TimePoint start = clock_.now();
    const bool timed = toStableStorage && journal_->unsynced();  // idle ticks are no flushes
    const bool ok = toStableStorage ? journal_->sync() : journal_->writeOut();
    if (ok && timed) syncTimes_.add(std::chrono::duration<double>(clock_.now() - start).count());
    // A disk the spool's own tail filled gets room back once that tail is sent.
    if (!ok) journal_->release(store_->headSeq(), true);
    if (!ok && !writeFailing_) {
        writeFailing_ = true;
        store_->setWriteFailing(true);
        error_ = journal_->error();
        hooks_.writeFailed("Spool: " + error_ + "; reading from senders paused");
        armTimer();
    } else if (ok && writeFailing_) {
        writeFailing_ = false;
        store_->setWriteFailing(false);
        error_.clear();
        log_.error(0, "Spool: writing works again");
        hooks_.writesAgain();
        armTimer();
    } else if (ok && journal_->error().empty()) {
        error_.clear();  // a read that failed works again
    }
}

SpoolStatus Spool::status() const {
    SpoolStatus s;
    s.folder = settings_.folder;
    s.error = error_;
    if (journal_) {
        s.bytes = journal_->bytes();
        s.segments = journal_->segments();
        s.firstSeq = journal_->firstSeq();
        s.sentSeq = journal_->sentSeq();
        s.lastSeq = journal_->lastSeq();
        s.syncedSeq = journal_->syncedSeq();
    }
    s.syncP99Ms = syncTimes_.p99() * 1000;
    s.syncSeconds = syncTimes_.histogram;
    return s;
}

}  // namespace korrin
