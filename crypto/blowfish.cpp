// SPDX-License-Identifier: MIT
#include "crypto/crypto.h"

#include "crypto/blowfish_round.h"

namespace {

const uint32_t pi_words[18 + 4 * 256] = {
#include "crypto/pi_table.inc"
};

}  // namespace

void cA87315c_initialize(dxf_flms45A* s, const unsigned char* key, int32_t key_len)
{
    const unsigned char zero = 0;
    if (key_len < 1) {
        key = &zero;
        key_len = 1;
    }
    for (int i = 0; i < 18; i++)
        s->p_array[i] = pi_words[i];
    for (int b = 0; b < 4; b++)
        for (int i = 0; i < 256; i++)
            s->s_boxes[b][i] = pi_words[18 + 256 * b + i];

    // The key position runs on across words, wrapping inside a word when
    // key_len is not a multiple of 4.
    int32_t pos = 0;
    for (int i = 0; i < 18; i++) {
        uint32_t w = 0;
        for (int k = 0; k < 4; k++) {
            w = (w << 8) | key[pos];
            if (++pos == key_len)
                pos = 0;
        }
        s->p_array[i] ^= w;
    }

    uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        blowfish_encrypt(s, l, r);
        s->p_array[i] = l;
        s->p_array[i + 1] = r;
    }
    for (int b = 0; b < 4; b++) {
        for (int i = 0; i < 256; i += 2) {
            blowfish_encrypt(s, l, r);
            s->s_boxes[b][i] = l;
            s->s_boxes[b][i + 1] = r;
        }
    }
}

void kLat_wtl_81903(const dxf_flms45A* s, uint32_t* left, uint32_t* right)
{
    blowfish_encrypt(s, *left, *right);
}

void knyaoi6520(const dxf_flms45A* s, uint32_t* left, uint32_t* right)
{
    blowfish_decrypt(s, *left, *right);
}
