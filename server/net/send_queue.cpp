#include "server/net/send_queue.h"

namespace korrin {

void SendQueue::attach(Journal* journal) {
    journal_ = journal;
    window_ = LineQueue();
    seqs_.clear();
    if (!journal_) return;
    journal_->holdLines(&window_, &seqs_);  // written again should the folder be deleted
    windowEnd_ = journal_->sentSeq();
    headSeq_ = windowEnd_ + 1;
    reader_ = journal_->reader(headSeq_);
    refill();
}

uint64_t SendQueue::journalLines() const {
    const uint64_t head = headSeq();
    return journal_->lastSeq() >= head ? journal_->lastSeq() - head + 1 : 0;
}

void SendQueue::pushToJournal(std::string_view line) {
    const uint64_t seq = journal_->append(line);
    // Straight into the window while nothing waits on disk alone and there is room.
    if (windowEnd_ + 1 == seq && window_.size() < kWindowLines && window_.bytes() < kWindowBytes) {
        window_.push_back(line);
        seqs_.push_back(seq);
        windowEnd_ = seq;
    }
}

void SendQueue::refill() {
    if (window_.size() >= kWindowLines / 2 || windowEnd_ >= journal_->lastSeq()) return;
    if (reader_.position() != windowEnd_ + 1) reader_ = journal_->reader(windowEnd_ + 1);
    std::string line;
    uint64_t seq;
    while (window_.size() < kWindowLines && window_.bytes() < kWindowBytes &&
           reader_.next(line, seq)) {
        window_.push_back(line);
        seqs_.push_back(seq);
        windowEnd_ = seq;
    }
}

std::optional<std::string_view> SendQueue::front() {
    if (!journal_) return window_.empty() ? std::nullopt : std::optional(window_.front());
    // A line goes out only once the journal has it.
    if (journal_->writtenSeq() < journal_->lastSeq()) journal_->writeOut();
    if (window_.empty()) refill();
    if (window_.empty() || seqs_.front() > journal_->writtenSeq()) return std::nullopt;
    return window_.front();
}

void SendQueue::pop() {
    window_.pop_front();
    if (!journal_) {
        ++headSeq_;
        return;
    }
    journal_->markSent(seqs_.front());
    headSeq_ = seqs_.front() + 1;
    seqs_.pop_front();
    refill();
}

}  // namespace korrin
