// Pieces of the format's reading and writing that the writer, the recovery and the reader
// share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/net/journal.h"

namespace korrin {

constexpr size_t kReadChunk = 1024 * 1024;

// The bytes of file from offset on, at least want of them where the file (up to end) has them;
// buffer holds the bytes read before from bufferAt on. Empty with ok false on a read error.
std::string_view bytesAt(JournalFile& file, std::string& buffer, uint64_t& bufferAt,
                         uint64_t offset, size_t want, uint64_t end, bool& ok);
// One slot of the sent file (or of the acked file, with its magic).
void putSlot(char* slot, uint64_t seq, uint32_t magic = journal_format::kSentMagic);
// The place two slots read (got bytes of them) name: the sound one with the higher sequence.
std::optional<uint64_t> readSlots(const char* slots, int64_t got, uint32_t magic);
// Why a record could not be read, for the log.
const char* reason(Journal::Decoded::Kind k);

}  // namespace korrin
