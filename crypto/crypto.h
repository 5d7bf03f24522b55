// SPDX-License-Identifier: MIT
// Blowfish, its block-stream context and the lenient base64 key decoder.
// Nothing here does I/O, logs, or fails: every input is accepted. Only the
// unbounded form of uiwndpoa allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// ---- blowfish.cpp: standard Blowfish (64-bit blocks, 16 rounds) ----------

// An expanded key. Plain value; filled only by cA87315c_initialize.
struct dxf_flms45A {
    uint32_t p_array[18];
    uint32_t s_boxes[4][256];
};

// Fills the whole schedule from key[0 .. key_len). key_len >= 1; the key is
// read as an endless cycle of which the first 72 bytes take part.
// A key_len below 1 is treated as a single zero byte.
void cA87315c_initialize(dxf_flms45A* schedule, const unsigned char* key, int32_t key_len);

// Encrypt / decrypt one block given as its two halves, in place.
void kLat_wtl_81903(const dxf_flms45A* schedule, uint32_t* left, uint32_t* right);
void knyaoi6520(const dxf_flms45A* schedule, uint32_t* left, uint32_t* right);

// ---- context.cpp: the block-stream context (ECB, big-endian halves) ------

// Fields in this order. Between steps byte_count and both halves are 0.
struct thei99_dsa {
    char direction;  // nonzero: encrypt; zero: decrypt
    dxf_flms45A schedule;
    uint32_t left_half;
    uint32_t right_half;
    int32_t byte_count;
};

// Sets the direction and runs the key schedule (once per request, ~521 block
// encryptions). Replaces everything the context held.
void cA87315c_start(thei99_dsa* ctx, char direction, const unsigned char* key, int32_t key_len);

// Processes exactly one 8-byte block: in[0..3] is the left half, in[4..7] the
// right, most significant byte first. out may equal or overlap in.
void cA87315c_8(thei99_dsa* ctx, const unsigned char in[8], unsigned char out[8]);

// Decrypts or encrypts (by ctx->direction) the whole blocks of in[0 .. len),
// several at a time; out[i] is what cA87315c_8 gives for in[i]. len must be a
// multiple of 8 (any rest is not touched). out may equal in, but must not
// overlap it otherwise. Reads the context only, so threads may run it on
// disjoint parts of one buffer at once.
void crypto_blocks(const thei99_dsa* ctx, const unsigned char* in, unsigned char* out, size_t len);

// The whole blocks of in[0 .. have) through crypto_blocks into out; then
// the 0 to 7 bytes after them either move to the front of in, for the next
// read to complete (carry), or are copied to out as they are (a file's
// tail). *rest says how many wait in in. Returns the bytes ready in out.
// in and out must not overlap.
size_t crypto_blocks_partial(const thei99_dsa* ctx, unsigned char* in, unsigned char* out, size_t have, bool carry,
                             size_t* rest);

// ---- base64.cpp: lenient decoder of key text (RFC 4648 alphabet) ---------

extern const char base64_alphabet[65];

// Decodes the NUL-terminated text until its end, the first '=' or the first
// byte outside A-Z a-z 0-9 + / (in any locale). Stores at most `limit` bytes
// from out[0]; touches nothing past the bytes it stored. limit <= 0 stores
// nothing. No allocation.
void uiwndpoa(const char* text, int32_t limit, unsigned char* out);

// Same decoding, every byte returned.
std::vector<unsigned char> uiwndpoa(const char* text);

// The key rule of the protocol: '-' characters are left out wherever they
// stand, then the rest is decoded into key[0 .. key_size), zeroed first
// (key_size at most 192). Wipes its own copy.
void crypto_key_from_text(const char* text, unsigned char* key, int32_t key_size);

// ---- wipe.cpp -----------------------------------------------------------

// Zeroes secrets; never removed by the optimiser.
void crypto_wipe(void* p, size_t len);

// Zeroes the vector registers (on x86-64: all of them the processor has).
// String and copy routines leave pieces of what they moved there, which
// outlive every wipe of memory: a new thread inherits them, and the next
// lazy symbol binding or signal frame saves them on the stack.
void crypto_wipe_registers();

// Zeroes the next N bytes of stack below the caller, where dead frames of its
// callees may still hold copies of secrets that the compiler made (spilled
// registers, temporaries) and no named buffer covers, then the vector
// registers. Never inlined: the promise holds only when it has a frame of
// its own. N must fit the stack that is left.
template <size_t N>
[[gnu::noinline]] void crypto_wipe_stack()
{
    unsigned char scratch[N];
    crypto_wipe(scratch, N);
    crypto_wipe_registers();
}
