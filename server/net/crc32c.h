// CRC-32C (Castagnoli), the checksum of the spool's records: the processor's own instruction
// where there is one, else eight table look-ups per eight bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korrin {

// crc: the value of the bytes before (0 to begin); returns the value including these bytes.
uint32_t crc32c(uint32_t crc, const void* data, size_t size);

}  // namespace korrin
