// The relay's peer tables: senders and receivers as they connect and leave, the window's lists
// of them, and receivers and senders of other kinds listed beside the TCP ones.
#include "server/net/relay.h"

namespace korrin {

namespace {
bool inTable(int id) {
    return id >= 0 && id < Relay::kTableSize;
}

const PeerEntry* findEntry(const std::vector<PeerEntry>& list, uint64_t serial) {
    for (const PeerEntry& e : list)
        if (e.serial == serial) return &e;
    return nullptr;
}
}  // namespace

PeerEntry Relay::peerEntry(Listener& l, int id) {
    const std::string address = l.remoteAddress(id);
    return {address + "-" + std::to_string(id), id, nextSerial_++, address, clock_.wallNow()};
}

uint64_t Relay::senderLines(int id) const {
    return id >= 0 && static_cast<size_t>(id) < senderLines_.size() ? senderLines_[id] : 0;
}

uint64_t Relay::receiverLines(int id) const {
    return inTable(id) ? receiverLines_[id] : 0;
}

// ---- senders ----

void Relay::senderOpened(int id) {
    in_.setLineDelimiter(id, "\n");
    in_.setReceiving(id, true);
    addSender(id);
}

void Relay::addSender(int id) {
    list1_.push_back(peerEntry(in_, id));
    if (id >= 0) {
        if (static_cast<size_t>(id) >= senderLines_.size()) senderLines_.resize(id + 1);
        senderLines_[id] = 0;
    }
    for (int16_t& slot : senderIds_) {
        if (slot == -1) {
            slot = static_cast<int16_t>(id);
            break;
        }
    }
    view_.changed(RelayView::kSenders);
}

void Relay::removeSender(int id) {
    for (int16_t& slot : senderIds_) {
        if (slot == id) {
            slot = -1;
            break;
        }
    }
    // The scan runs to its end without yielding, so no handler can shift the list under it.
    for (size_t i = 0; i < list1_.size(); ++i) {
        if (list1_[i].id == id && !list1_[i].kind) {
            list1_.erase(list1_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    view_.changed(RelayView::kSenders);
}

void Relay::senderData(int id, std::string_view text, bool endOfLine) {
    if (!endOfLine) return;  // only complete lines reach the queue
    if (id >= 0 && static_cast<size_t>(id) < senderLines_.size()) ++senderLines_[id];
    ++counters_.linesIn;
    enqueue(text);
    queueHeadSelected_ = true;
}

void Relay::senderLines(int id, const std::vector<std::string_view>& lines) {
    if (id >= 0 && static_cast<size_t>(id) < senderLines_.size()) senderLines_[id] += lines.size();
    counters_.linesIn += lines.size();
    for (std::string_view line : lines)
        if (store_->push(line) && !paused_) pauseFull();  // at the very line that fills it
    queueHeadSelected_ = true;
    view_.changed(RelayView::kQueue);
}

void Relay::senderDoubleClick(uint64_t entrySerial) {
    const PeerEntry* e = findEntry(list1_, entrySerial);
    if (e && e->kind)
        e->kind->close(e->id);
    else if (e)
        in_.closeConnection(e->id);
}

void Relay::otherSenderOpened(ReceiverKind& kind, int id, const std::string& address) {
    list1_.push_back({address + "-" + std::to_string(id) + " (" + kind.name() + ")", id,
                      nextSerial_++, address, clock_.wallNow(), &kind});
    view_.changed(RelayView::kSenders);
}

void Relay::otherSenderClosed(ReceiverKind& kind, int id) {
    list1_.erase(std::remove_if(list1_.begin(), list1_.end(),
                                [&](const PeerEntry& e) { return e.kind == &kind && e.id == id; }),
                 list1_.end());
    view_.changed(RelayView::kSenders);
}

// ---- receivers ----

void Relay::receiverOpened(int id) {
    if (!inTable(id)) {
        // The output listener serves ids 0..30 only; never leave a peer connected but unserved.
        out_.closeConnection(id);
        return;
    }
    out_.setLineDelimiter(id, "\n");
    out_.setReceiving(id, false);
    receiverHosts_[id] = out_.remoteAddress(id);
    if (id > maxReceiverId_.value_or(0)) maxReceiverId_ = static_cast<int16_t>(id);
    receiverLines_[id] = 0;
    addReceiver(id);
    catchUps_.start(id, receiverHosts_[id]);
}

void Relay::receiverClosed(int id) {
    if (!inTable(id)) return;
    catchUps_.leave(id, receiverHosts_[id]);
    receiverHosts_[id].clear();
    if (maxReceiverId_.value_or(0) == id) maxReceiverId_ = static_cast<int16_t>(id - 1);
    removeReceiver(id);
}

void Relay::addReceiver(int id) {
    list3_.push_back(peerEntry(out_, id));
    label2_.clear();
    view_.changed(RelayView::kReceivers | RelayView::kLabels);
}

void Relay::removeReceiver(int id) {
    for (size_t i = 0; i < list3_.size(); ++i) {
        if (!list3_[i].kind && list3_[i].id == id) {
            list3_.erase(list3_.begin() + static_cast<std::ptrdiff_t>(i));
            receiverHosts_[id].clear();
            break;
        }
    }
    view_.changed(RelayView::kReceivers);
}

void Relay::receiverDoubleClick(uint64_t entrySerial) {
    const PeerEntry* e = findEntry(list3_, entrySerial);
    if (e && e->kind)
        e->kind->close(e->id);
    else if (e)
        out_.closeConnection(e->id);
}

void Relay::otherReceiverOpened(ReceiverKind& kind, int id, const std::string& address) {
    list3_.push_back({address + "-" + std::to_string(id) + " (" + kind.name() + ")", id,
                      nextSerial_++, address, clock_.wallNow(), &kind});
    label2_.clear();
    view_.changed(RelayView::kReceivers | RelayView::kLabels);
}

void Relay::otherReceiverClosed(ReceiverKind& kind, int id) {
    for (size_t i = 0; i < list3_.size(); ++i) {
        if (list3_[i].kind == &kind && list3_[i].id == id) {
            list3_.erase(list3_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    view_.changed(RelayView::kReceivers);
}

}  // namespace korrin
