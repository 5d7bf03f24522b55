// SPDX-License-Identifier: MIT
#include "crypto/crypto.h"

#include "crypto/blowfish_round.h"

#include <cstring>

#include <utility>

void cA87315c_start(thei99_dsa* ctx, char direction, const unsigned char* key, int32_t key_len)
{
    ctx->direction = direction;
    cA87315c_initialize(&ctx->schedule, key, key_len);
    ctx->left_half = 0;
    ctx->right_half = 0;
    ctx->byte_count = 0;
}

// The halves are gathered straight from the bytes, big-endian, which is what
// feeding the bytes one by one through left_half and right_half amounts to;
// the fields are left at 0 as every step leaves them.
void cA87315c_8(thei99_dsa* ctx, const unsigned char in[8], unsigned char out[8])
{
    uint32_t l = load32_be(in);
    uint32_t r = load32_be(in + 4);
    if (ctx->direction)
        blowfish_encrypt(&ctx->schedule, l, r);
    else
        blowfish_decrypt(&ctx->schedule, l, r);
    store32_be(out, l);
    store32_be(out + 4, r);
    ctx->left_half = 0;
    ctx->right_half = 0;
    ctx->byte_count = 0;
}

namespace {

// Blowfish's round chain is one dependent look-up after another; running
// GROUP independent blocks side by side lets their look-ups overlap. k holds
// the subkeys in the order this direction uses them.
constexpr int GROUP = 8;

// The lanes are spelt out, one fold expression per step, so that each lane
// is a scalar of its own at -O2 as well: written as loops over the lanes,
// only -O3's complete unrolling took them out of memory, and -O2 ran at
// half the speed.
template <size_t... J>
[[gnu::always_inline]] inline void run_group(const dxf_flms45A* s, const uint32_t k[18], const unsigned char* in,
                                             unsigned char* out, std::index_sequence<J...>)
{
    uint32_t l[sizeof...(J)] = {(load32_be(in + 8 * J) ^ k[0])...};
    uint32_t r[sizeof...(J)] = {load32_be(in + 8 * J + 4)...};
    for (int i = 1; i < 17; i += 2) {
        ((r[J] ^= blowfish_f(s, l[J]) ^ k[i]), ...);
        ((l[J] ^= blowfish_f(s, r[J]) ^ k[i + 1]), ...);
    }
    (store32_be(out + 8 * J, r[J] ^ k[17]), ...);
    (store32_be(out + 8 * J + 4, l[J]), ...);
}

}  // namespace

void crypto_blocks(const thei99_dsa* ctx, const unsigned char* in, unsigned char* out, size_t len)
{
    uint32_t k[18];
    for (int i = 0; i < 18; i++)
        k[i] = ctx->direction ? ctx->schedule.p_array[i] : ctx->schedule.p_array[17 - i];

    const size_t group_bytes = 8 * GROUP;
    size_t done = 0;
    for (; done + group_bytes <= len; done += group_bytes)
        run_group(&ctx->schedule, k, in + done, out + done, std::make_index_sequence<GROUP>());
    // The rest one block at a time, as the step does, but without touching
    // the context: slices of one load run on several threads at once.
    for (; done + 8 <= len; done += 8)
        run_group(&ctx->schedule, k, in + done, out + done, std::make_index_sequence<1>());
    crypto_wipe(k, sizeof k);
}

size_t crypto_blocks_partial(const thei99_dsa* ctx, unsigned char* in, unsigned char* out, size_t have, bool carry,
                             size_t* rest)
{
    const size_t whole = have & ~(size_t)7;
    crypto_blocks(ctx, in, out, whole);
    *rest = have - whole;
    if (carry) {
        memmove(in, in + whole, *rest);
        return whole;
    }
    memcpy(out + whole, in + whole, *rest);
    *rest = 0;
    return have;
}
