// SPDX-License-Identifier: MIT
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "protocol/protocol.h"
#include "tests/seed.h"

namespace {

using bytes = std::vector<unsigned char>;

// Bounded decode into a buffer pre-filled with 0xAA; returns the buffer.
bytes bounded(const char* text, int32_t limit, size_t buffer = 32)
{
    bytes out(buffer, 0xAA);
    uiwndpoa(text, limit, out.data());
    return out;
}

bytes with_fill(const bytes& prefix, size_t buffer = 32)
{
    bytes filled(buffer, 0xAA);
    std::copy(prefix.begin(), prefix.end(), filled.begin());
    return filled;
}

}  // namespace

TEST(Decoder, Examples)
{
    const struct {
        const char* text;
        bytes want;
    } cases[] = {
        {"QUJD", {0x41, 0x42, 0x43}},
        {"QUJDRA", {0x41, 0x42, 0x43, 0x44}},
        {"QUJDREU", {0x41, 0x42, 0x43, 0x44, 0x45}},
        {"QUJDR", {0x41, 0x42, 0x43}},
        {"QUJD=RUZH", {0x41, 0x42, 0x43}},
        {"QUJD RUZH", {0x41, 0x42, 0x43}},
        {"QU-JD", {0x41}},
        {"ab+/AB", {0x69, 0xBF, 0xBF, 0x00}},
        {"QUJDRA==", {0x41, 0x42, 0x43, 0x44}},
        {"QUJDREU=", {0x41, 0x42, 0x43, 0x44, 0x45}},
        {"", {}},
        {"Q", {}},
        {"=QUJD", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(uiwndpoa(c.text), c.want) << c.text;
        EXPECT_EQ(bounded(c.text, 100), with_fill(c.want)) << c.text;
    }
}

TEST(Decoder, LimitBoundsTheStores)
{
    EXPECT_EQ(bounded("QUJDREVG", 4), with_fill({0x41, 0x42, 0x43, 0x44}));
    EXPECT_EQ(bounded("QUJDREVG", 0), with_fill({}));
    EXPECT_EQ(bounded("QUJDREVG", -1), with_fill({}));

    // 30 bytes of text, limit 20: exactly the first 20, nothing beyond.
    const char* text = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
    bytes want;
    for (int i = 0; i < 20; i++)
        want.push_back((unsigned char)i);
    EXPECT_EQ(bounded(text, 20), with_fill(want));
}

TEST(Decoder, HighBytesStopTheScanInAnyLocale)
{
    setlocale(LC_ALL, "C.UTF-8");
    for (int c = 0x80; c <= 0xFF; c++) {
        const char text[] = {'Q', 'U', 'J', 'D', (char)c, 'Q', 'U', 'J', 'D', 0};
        EXPECT_EQ(uiwndpoa(text), bytes({0x41, 0x42, 0x43})) << c;
    }
    setlocale(LC_ALL, "C");
}

TEST(Decoder, BoundedIsPrefixOfUnbounded)
{
    const unsigned seed = test_seed();
    std::mt19937 rng(seed);
    // Mostly alphabet, sometimes a stop byte.
    const std::string pool = std::string(base64_alphabet) + "=-\x80\xff \n";
    for (int round = 0; round < 2000; round++) {
        std::string text(rng() % 60, ' ');
        for (auto& c : text)
            c = rng() % 40 ? base64_alphabet[rng() % 64] : pool[rng() % pool.size()];
        const bytes all = uiwndpoa(text.c_str());
        const int32_t limit = (int32_t)(rng() % 50) - 5;
        const bytes got = bounded(text.c_str(), limit, 64);
        const size_t stored = std::min(all.size(), (size_t)std::max(limit, 0));
        bytes want(all.begin(), all.begin() + (long)stored);
        ASSERT_EQ(got, with_fill(want, 64)) << "seed " << seed << " text " << text;
    }
}

// The key rule: '-' is dropped wherever it stands, also at the end; '='
// ends the key, '-' or not after it; the key is zero-filled to its size and
// nothing is stored past it; and nothing past the text's NUL is read (each
// text sits in a heap block of its exact size, for AddressSanitizer).
TEST(Decoder, KeyFromText)
{
    const bytes abcd = {0x41, 0x42, 0x43, 0x44}, abc = {0x41, 0x42, 0x43};
    bytes twenty_one;
    for (int i = 0; i < 21; i++)
        twenty_one.push_back((unsigned char)(0x10 + i));
    const std::string long_text = "EBESExQVFhcYGRobHB0eHyAhIiMk";  // the 21 bytes 10 .. 24
    const struct {
        std::string text;
        bytes key;  // before the zero fill
    } rows[] = {
        {"QUJDRA", abcd},
        {"QUJDRA-", abcd},
        {"QUJDRA--", abcd},
        {"-Q-UJ-DRA", abcd},
        {"QUJD--RA-", abcd},
        {"QUJD=RUZH", abc},
        {"QUJD=-RA", abc},
        {"QUJD-=RA", abc},
        {"", {}},
        {long_text, bytes(twenty_one.begin(), twenty_one.begin() + KEY_SIZE)},
        {"-" + long_text, bytes(twenty_one.begin(), twenty_one.begin() + KEY_SIZE)},
    };
    for (const auto& row : rows) {
        const size_t len = row.text.size() + 1;
        std::unique_ptr<char[]> exact(new char[len]);
        memcpy(exact.get(), row.text.c_str(), len);
        bytes key(KEY_SIZE + 4, 0xAA);
        crypto_key_from_text(exact.get(), key.data(), KEY_SIZE);
        bytes want = row.key;
        want.resize(KEY_SIZE, 0);
        want.resize(KEY_SIZE + 4, 0xAA);
        EXPECT_EQ(key, want) << row.text;
    }
}
