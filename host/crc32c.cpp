#include "host/crc32c.h"

#include <cstring>

namespace {

constexpr uint32_t POLY = 0x82F63B78u;  // reflected Castagnoli polynomial

struct Tables {
    uint32_t t[8][256];
};

// Slicing-by-8 tables, built at compile time.
constexpr Tables make_tables() {
    Tables tb{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (POLY & (0u - (c & 1u)));
        tb.t[0][i] = c;
    }
    for (int s = 1; s < 8; ++s)
        for (uint32_t i = 0; i < 256; ++i)
            tb.t[s][i] = (tb.t[s - 1][i] >> 8) ^ tb.t[0][tb.t[s - 1][i] & 0xffu];
    return tb;
}

constexpr Tables TABLES = make_tables();

uint32_t portable_raw(uint32_t c, const unsigned char* p, size_t n) {
    const auto& t = TABLES.t;
    while (n >= 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;  // little-endian host (x86-64)
        c = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
            t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- != 0)
        c = (c >> 8) ^ t[0][(c ^ *p++) & 0xff];
    return c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t hardware_raw(uint32_t crc, const unsigned char* p,
                                                        size_t n) {
    uint64_t c = crc;
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = __builtin_ia32_crc32di(c, v);
        p += 8;
        n -= 8;
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    while (n-- != 0)
        c32 = __builtin_ia32_crc32qi(c32, *p++);
    return c32;
}

bool have_sse42() {
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}
#else
bool have_sse42() {
    return false;
}
uint32_t hardware_raw(uint32_t crc, const unsigned char* p, size_t n) {
    return portable_raw(crc, p, n);
}
#endif

}  // namespace

uint32_t crc32c_portable(uint32_t crc, const void* data, size_t length) {
    return ~portable_raw(~crc, static_cast<const unsigned char*>(data), length);
}

uint32_t crc32c(uint32_t crc, const void* data, size_t length) {
    const auto* p = static_cast<const unsigned char*>(data);
    return have_sse42() ? ~hardware_raw(~crc, p, length) : ~portable_raw(~crc, p, length);
}

bool crc32c_uses_hardware() {
    return have_sse42();
}
