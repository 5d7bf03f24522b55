// SPDX-License-Identifier: MIT
// The Blowfish rounds, inline for the block step and the multi-block path.
// Private to crypto/.
#pragma once

#include "crypto/crypto.h"

inline uint32_t blowfish_f(const dxf_flms45A* s, uint32_t x)
{
    return ((s->s_boxes[0][x >> 24] + s->s_boxes[1][(x >> 16) & 0xff]) ^ s->s_boxes[2][(x >> 8) & 0xff]) +
           s->s_boxes[3][x & 0xff];
}

// Sixteen rounds with the exchanges folded away: the halves alternate roles,
// and each round's subkey is merged into the previous round's F.
inline void blowfish_encrypt(const dxf_flms45A* s, uint32_t& left, uint32_t& right)
{
    const uint32_t* p = s->p_array;
    uint32_t l = left ^ p[0], r = right;
    for (int i = 1; i < 17; i += 2) {
        r ^= blowfish_f(s, l) ^ p[i];
        l ^= blowfish_f(s, r) ^ p[i + 1];
    }
    left = r ^ p[17];
    right = l;
}

inline void blowfish_decrypt(const dxf_flms45A* s, uint32_t& left, uint32_t& right)
{
    const uint32_t* p = s->p_array;
    uint32_t l = left ^ p[17], r = right;
    for (int i = 16; i > 0; i -= 2) {
        r ^= blowfish_f(s, l) ^ p[i];
        l ^= blowfish_f(s, r) ^ p[i - 1];
    }
    left = r ^ p[0];
    right = l;
}

inline uint32_t load32_be(const unsigned char* b)
{
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | (uint32_t)b[3];
}

inline void store32_be(unsigned char* b, uint32_t w)
{
    b[0] = (unsigned char)(w >> 24);
    b[1] = (unsigned char)(w >> 16);
    b[2] = (unsigned char)(w >> 8);
    b[3] = (unsigned char)w;
}
