#include "server/net/crc32c.h"

#include <array>
#include <cstring>

namespace korrin {
namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u;  // reflected 0x1EDC6F41

struct Tables {
    std::array<std::array<uint32_t, 256>, 8> t{};
    Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (kPolynomial & (0u - (c & 1u)));
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};

uint32_t bySoftware(uint32_t c, const unsigned char* p, size_t n) {
    static const Tables tables;
    const auto& t = tables.t;
    while (n >= 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;  // the records are little-endian on every platform we build for
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    return c;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("sse4.2"))) uint32_t byInstruction(uint32_t c, const unsigned char* p,
                                                         size_t n) {
    uint64_t c64 = c;
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c64 = __builtin_ia32_crc32di(c64, v);
        p += 8;
        n -= 8;
    }
    c = static_cast<uint32_t>(c64);
    while (n--) c = __builtin_ia32_crc32qi(c, *p++);
    return c;
}
bool hasInstruction() {
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("sse4.2"));
    return has;
}
#endif

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint32_t c = ~crc;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    c = hasInstruction() ? byInstruction(c, p, size) : bySoftware(c, p, size);
#else
    c = bySoftware(c, p, size);
#endif
    return ~c;
}

}  // namespace korrin
