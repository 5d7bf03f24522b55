// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "tests/seed.h"
#include "protocol/protocol.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes from_hex(const std::string& hex)
{
    bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back((unsigned char)std::stoul(hex.substr(i, 2), nullptr, 16));
    return b;
}

struct vector_case {
    bytes key, plain, cipher;
};

// One vector per line: KEY PLAINTEXT CIPHERTEXT in hex; '#' lines are comments.
std::vector<vector_case> read_vectors(const std::string& path)
{
    std::vector<vector_case> v;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream s(line);
        std::string k, p, c;
        if (s >> k >> p >> c)
            v.push_back({from_hex(k), from_hex(p), from_hex(c)});
    }
    return v;
}

uint32_t load_be(const unsigned char* b)
{
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

bool same_schedule(const dxf_flms45A& a, const dxf_flms45A& b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(Blowfish, InitialTableIsPi)
{
    static const uint32_t words[] = {
#include "crypto/pi_table.inc"
    };
    ASSERT_EQ(sizeof words / sizeof words[0], 1042u);
    const uint32_t* s = words + 18;
    EXPECT_EQ(words[0], 0x243f6a88u);
    EXPECT_EQ(words[17], 0x8979fb1bu);
    EXPECT_EQ(s[0], 0xd1310ba6u);
    EXPECT_EQ(s[255], 0x6e85076au);
    EXPECT_EQ(s[256], 0x4b7a70e9u);
    EXPECT_EQ(s[511], 0xdb83adf7u);
    EXPECT_EQ(s[512], 0xe93d5a68u);
    EXPECT_EQ(s[767], 0x406000e0u);
    EXPECT_EQ(s[768], 0x3a39ce37u);
    EXPECT_EQ(s[1023], 0x3ac372e6u);
}

TEST(Blowfish, PublishedAndLongKeyVectors)
{
    const auto vectors = read_vectors(TESSARIND_TEST_DATA "/blowfish-ecb.txt");
    ASSERT_GE(vectors.size(), 60u) << "vector file missing or empty";
    for (const auto& v : vectors) {
        SCOPED_TRACE(testing::Message() << "key of " << v.key.size() << " bytes");
        ASSERT_EQ(v.plain.size(), 8u);
        ASSERT_EQ(v.cipher.size(), 8u);
        dxf_flms45A s;
        cA87315c_initialize(&s, v.key.data(), (int32_t)v.key.size());
        uint32_t l = load_be(v.plain.data()), r = load_be(v.plain.data() + 4);
        kLat_wtl_81903(&s, &l, &r);
        EXPECT_EQ(l, load_be(v.cipher.data()));
        EXPECT_EQ(r, load_be(v.cipher.data() + 4));
        knyaoi6520(&s, &l, &r);
        EXPECT_EQ(l, load_be(v.plain.data()));
        EXPECT_EQ(r, load_be(v.plain.data() + 4));

        // Through the context, bytes in the order the vector is written.
        thei99_dsa enc, dec;
        cA87315c_start(&enc, 1, v.key.data(), (int32_t)v.key.size());
        cA87315c_start(&dec, 0, v.key.data(), (int32_t)v.key.size());
        unsigned char out[8];
        cA87315c_8(&enc, v.plain.data(), out);
        EXPECT_EQ(bytes(out, out + 8), v.cipher);
        cA87315c_8(&dec, v.cipher.data(), out);
        EXPECT_EQ(bytes(out, out + 8), v.plain);
    }
}

TEST(Blowfish, RoundTripEveryKeyLengthInPlace)
{
    std::mt19937 rng(test_seed());
    for (int len = 1; len <= 100; len++) {
        bytes key(len);
        for (auto& b : key)
            b = (unsigned char)rng();
        bytes block(8);
        for (auto& b : block)
            b = (unsigned char)rng();
        thei99_dsa enc, dec;
        cA87315c_start(&enc, (char)(len % 2 ? 1 : -7), key.data(), len);  // any nonzero encrypts
        cA87315c_start(&dec, 0, key.data(), len);
        bytes buf = block;
        cA87315c_8(&enc, buf.data(), buf.data());
        EXPECT_NE(buf, block) << len;
        cA87315c_8(&dec, buf.data(), buf.data());
        EXPECT_EQ(buf, block) << len;
        EXPECT_EQ(dec.left_half, 0u);
        EXPECT_EQ(dec.right_half, 0u);
        EXPECT_EQ(dec.byte_count, 0);
    }
}

TEST(Blowfish, KeyCyclesAndOnly72BytesCount)
{
    dxf_flms45A a, b;
    const unsigned char one = 0x5a;
    bytes many(72, 0x5a);
    cA87315c_initialize(&a, &one, 1);
    cA87315c_initialize(&b, many.data(), 72);
    EXPECT_TRUE(same_schedule(a, b));

    // A 5-byte key wraps inside words: it acts as the same 5 bytes repeated.
    const bytes five{1, 2, 3, 4, 5};
    bytes repeated;
    for (int i = 0; i < 72; i++)
        repeated.push_back(five[i % 5]);
    cA87315c_initialize(&a, five.data(), 5);
    cA87315c_initialize(&b, repeated.data(), 72);
    EXPECT_TRUE(same_schedule(a, b));

    bytes k72(72), k100(100);
    for (int i = 0; i < 100; i++)
        k100[i] = (unsigned char)(i * 7 + 3);
    std::copy(k100.begin(), k100.begin() + 72, k72.begin());
    cA87315c_initialize(&a, k72.data(), 72);
    cA87315c_initialize(&b, k100.data(), 100);
    EXPECT_TRUE(same_schedule(a, b));
    // No key at all (a length of 0 or less) acts as one zero byte.
    const unsigned char zero = 0;
    cA87315c_initialize(&b, &zero, 1);
    for (int32_t len : {0, -1}) {
        cA87315c_initialize(&a, nullptr, len);
        EXPECT_TRUE(same_schedule(a, b)) << len;
    }
    for (int len = 57; len <= 72; len++) {  // every byte takes part
        bytes k(k100.begin(), k100.begin() + len);
        cA87315c_initialize(&a, k.data(), len);
        k[len - 1] ^= 1;
        cA87315c_initialize(&b, k.data(), len);
        EXPECT_FALSE(same_schedule(a, b)) << len;
    }
}

TEST(Blockstream, RestartUsesOnlyTheNewKeyAndEqualBlocksMatch)
{
    const bytes k1(20, 1), k2{9, 8, 7};
    thei99_dsa ctx, fresh;
    cA87315c_start(&ctx, 1, k1.data(), 20);
    unsigned char block[8] = {1, 2, 3, 4, 5, 6, 7, 8}, a[8], b[8];
    cA87315c_8(&ctx, block, a);
    cA87315c_start(&ctx, 1, k2.data(), 3);
    cA87315c_start(&fresh, 1, k2.data(), 3);
    cA87315c_8(&ctx, block, a);
    cA87315c_8(&fresh, block, b);
    EXPECT_EQ(memcmp(a, b, 8), 0);
    cA87315c_8(&ctx, block, b);  // ECB: same block, same result, any time
    EXPECT_EQ(memcmp(a, b, 8), 0);
}

// The interleaved path must give byte for byte what the block step gives,
// for every length around its group size and for a full load.
TEST(Blockstream, MultiBlockPathEqualsBlockStep)
{
    const unsigned seed = test_seed();
    std::mt19937 rng(seed);
    for (char direction : {0, 1}) {
        for (size_t len = 0; len <= 400; len++) {
            bytes key(20);
            for (auto& b : key)
                b = (unsigned char)rng();
            bytes in(len);
            for (auto& b : in)
                b = (unsigned char)rng();
            thei99_dsa a, b;
            cA87315c_start(&a, direction, key.data(), 20);
            cA87315c_start(&b, direction, key.data(), 20);
            const size_t whole = len & ~(size_t)7;
            bytes ref(len, 0xee), fast(len, 0xee);
            for (size_t i = 0; i < whole; i += 8)
                cA87315c_8(&a, in.data() + i, ref.data() + i);
            crypto_blocks(&b, in.data(), fast.data(), len);
            ASSERT_EQ(ref, fast) << "length " << len << " seed " << seed;
            bytes inplace = in;
            crypto_blocks(&b, inplace.data(), inplace.data(), whole);
            ASSERT_TRUE(std::equal(ref.begin(), ref.begin() + (long)whole, inplace.begin()));
        }
    }
    bytes key(20, 0x42), in(LOAD_SIZE), ref(LOAD_SIZE), fast(LOAD_SIZE);
    for (auto& b : in)
        b = (unsigned char)rng();
    thei99_dsa ctx;
    cA87315c_start(&ctx, 0, key.data(), 20);
    for (size_t i = 0; i < LOAD_SIZE; i += 8)
        cA87315c_8(&ctx, in.data() + i, ref.data() + i);
    crypto_blocks(&ctx, in.data(), fast.data(), LOAD_SIZE);
    EXPECT_EQ(ref, fast);
}
