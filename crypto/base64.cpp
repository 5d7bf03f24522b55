// SPDX-License-Identifier: MIT
#include "crypto/crypto.h"

#include <cstring>

constexpr char base64_alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

// 6-bit value of each byte, or -1 for a byte that ends the scan. Built from
// the alphabet at compile time, so no locale ever decides what a letter is.
struct value_table {
    signed char v[256];
};

constexpr value_table make_values()
{
    value_table t{};
    for (int i = 0; i < 256; i++)
        t.v[i] = -1;
    for (int i = 0; i < 64; i++)
        t.v[(unsigned char)base64_alphabet[i]] = (signed char)i;
    return t;
}

constexpr value_table values = make_values();

// Calls emit(byte) for every decoded byte, in order.
template <typename Emit>
void decode(const char* text, Emit emit)
{
    unsigned group[4];
    int n = 0;
    for (const unsigned char* p = (const unsigned char*)text;; p++) {
        const int v = values.v[*p];  // NUL and '=' map to -1 too
        if (v < 0)
            break;
        group[n++] = (unsigned)v;
        if (n == 4) {
            emit((unsigned char)(group[0] << 2 | group[1] >> 4));
            emit((unsigned char)((group[1] & 0xf) << 4 | group[2] >> 2));
            emit((unsigned char)((group[2] & 0x3) << 6 | group[3]));
            n = 0;
        }
    }
    if (n >= 2)
        emit((unsigned char)(group[0] << 2 | group[1] >> 4));
    if (n == 3)
        emit((unsigned char)((group[1] & 0xf) << 4 | group[2] >> 2));
}

}  // namespace

void uiwndpoa(const char* text, int32_t limit, unsigned char* out)
{
    int32_t stored = 0;
    decode(text, [&](unsigned char b) {
        if (stored < limit)
            out[stored++] = b;
    });
}

std::vector<unsigned char> uiwndpoa(const char* text)
{
    std::vector<unsigned char> bytes;
    decode(text, [&](unsigned char b) { bytes.push_back(b); });
    return bytes;
}

void crypto_key_from_text(const char* text, unsigned char* key, int32_t key_size)
{
    // 256 characters decode to 192 bytes, more than any key takes.
    char stripped[257];
    size_t n = 0;
    for (const char* p = text; *p && n < sizeof stripped - 1; p++)
        if (*p != '-')
            stripped[n++] = *p;
    stripped[n] = '\0';
    memset(key, 0, (size_t)key_size);
    uiwndpoa(stripped, key_size, key);
    crypto_wipe(stripped, sizeof stripped);
}
