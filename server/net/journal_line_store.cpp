#include "server/net/journal_line_store.h"

namespace korrin {

namespace {
class JournalReader final : public LineReader {
  public:
    explicit JournalReader(Journal::Reader r) : reader_(std::move(r)) {}
    bool next(std::string& line, uint64_t& seq) override { return reader_.next(line, seq); }

  private:
    Journal::Reader reader_;
};
}  // namespace

JournalLineStore::JournalLineStore(Journal& journal, uint64_t limitBytes,
                                   std::function<void()> writeOut)
    : journal_(journal), limitBytes_(limitBytes), writeOut_(std::move(writeOut)) {
    journal_.holdLines(&window_, &seqs_);  // written again should the folder be deleted
    windowEnd_ = journal_.sentSeq();
    headSeq_ = windowEnd_ + 1;
    reader_ = journal_.reader(headSeq_);
    refill();
}

JournalLineStore::~JournalLineStore() {
    journal_.holdLines(nullptr, nullptr);
}

uint64_t JournalLineStore::lines() const {
    const uint64_t head = headSeq();
    return journal_.lastSeq() >= head ? journal_.lastSeq() - head + 1 : 0;
}

bool JournalLineStore::push(std::string_view line) {
    const uint64_t seq = journal_.append(line);
    // Straight into the window while nothing waits on disk alone and there is room.
    if (windowEnd_ + 1 == seq && window_.size() < kWindowLines && window_.bytes() < kWindowBytes) {
        window_.push_back(line);
        seqs_.push_back(seq);
        windowEnd_ = seq;
    }
    // A sender that never pauses between reads still gets its lines written in bounded steps.
    if (journal_.lastSeq() - journal_.writtenSeq() >= kWriteOutLines) writeOut_();
    return full();
}

void JournalLineStore::refill() {
    if (window_.size() >= kWindowLines / 2 || windowEnd_ >= journal_.lastSeq()) return;
    if (reader_.position() != windowEnd_ + 1) reader_ = journal_.reader(windowEnd_ + 1);
    std::string line;
    uint64_t seq;
    while (window_.size() < kWindowLines && window_.bytes() < kWindowBytes &&
           reader_.next(line, seq)) {
        window_.push_back(line);
        seqs_.push_back(seq);
        windowEnd_ = seq;
    }
}

std::optional<std::string_view> JournalLineStore::front() {
    // A line goes out only once the journal has it.
    if (journal_.writtenSeq() < journal_.lastSeq()) journal_.writeOut();
    if (window_.empty()) refill();
    if (window_.empty() || seqs_.front() > journal_.writtenSeq()) return std::nullopt;
    return window_.front();
}

void JournalLineStore::pop(uint64_t keepFrom, uint64_t mustKeepFrom) {
    // At the limit every sent segment goes, the one being written too, so that room comes back;
    // but not the lines the broker is owed: reading stays paused until it has them.
    const bool atLimit = full();
    window_.pop_front();
    journal_.markSent(seqs_.front());
    headSeq_ = seqs_.front() + 1;
    seqs_.pop_front();
    refill();
    releaseSent(keepFrom, mustKeepFrom, atLimit);
}

void JournalLineStore::release(uint64_t keepFrom, uint64_t mustKeepFrom) {
    releaseSent(keepFrom, mustKeepFrom, full());
}

void JournalLineStore::releaseSent(uint64_t keepFrom, uint64_t mustKeepFrom, bool atLimit) {
    journal_.release(atLimit ? std::min(headSeq(), mustKeepFrom) : keepFrom, atLimit);
}

std::unique_ptr<LineReader> JournalLineStore::reader(uint64_t from) {
    return std::make_unique<JournalReader>(journal_.reader(from));
}

}  // namespace korrin
