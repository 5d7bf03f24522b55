// SPDX-License-Identifier: MIT
// Decrypting what was encrypted gives it back, for keys of any length and
// any blocks, and the multi-block path agrees with the block step.
#include <cstring>
#include <vector>

#include "crypto/crypto.h"
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t key_len = 1 + data[0] % 100;
    if (size < 1 + key_len)
        return 0;
    const unsigned char* key = data + 1;
    const std::vector<unsigned char> plain(data + 1 + key_len, data + size);
    const size_t whole = plain.size() & ~(size_t)7;

    thei99_dsa enc, dec;
    cA87315c_start(&enc, (char)(data[0] | 1), key, (int32_t)key_len);
    cA87315c_start(&dec, 0, key, (int32_t)key_len);
    std::vector<unsigned char> step(plain), multi(plain), back(plain.size());
    for (size_t i = 0; i < whole; i += 8)
        cA87315c_8(&enc, step.data() + i, step.data() + i);
    crypto_blocks(&enc, plain.data(), multi.data(), whole);
    FUZZ_CHECK(whole == 0 || memcmp(step.data(), multi.data(), whole) == 0);
    crypto_blocks(&dec, step.data(), back.data(), whole);
    FUZZ_CHECK(whole == 0 || memcmp(back.data(), plain.data(), whole) == 0);
    FUZZ_CHECK(enc.byte_count == 0 && enc.left_half == 0 && enc.right_half == 0);
    return 0;
}
