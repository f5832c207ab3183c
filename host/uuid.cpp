#include "host/uuid.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace {
int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

bool uuid_from_string(const std::string& text, unsigned char out[16]) {
    std::string hex;
    if (text.size() == 36) {
        for (size_t i = 0; i < text.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                if (text[i] != '-')
                    return false;
            } else {
                hex += text[i];
            }
        }
    } else if (text.size() == 32) {
        hex = text;
    } else {
        return false;
    }
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) {
        int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    std::memcpy(out, bytes, 16);
    return true;
}

std::string uuid_to_string(const unsigned char in[16]) {
    char buf[37];
    std::snprintf(buf, sizeof buf,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", in[0],
                  in[1], in[2], in[3], in[4], in[5], in[6], in[7], in[8], in[9], in[10], in[11],
                  in[12], in[13], in[14], in[15]);
    return buf;
}

std::string uuid_generate_text() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    unsigned char b[16];
    for (int i = 0; i < 16; i += 8) {
        uint64_t r = rng();
        std::memcpy(b + i, &r, 8);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    return uuid_to_string(b);
}
