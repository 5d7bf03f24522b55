// SPDX-License-Identifier: MIT
// The cipher's hot path: one load decrypted block by block, the same load
// through the multi-block path, OpenSSL's Blowfish-ECB on it, and one key
// schedule.
#include <benchmark/benchmark.h>
#include <cstdint>
#include <random>
#include <vector>

#include "crypto/crypto.h"
#include "server/protocol.h"

#ifdef HAVE_OPENSSL
#include <openssl/blowfish.h>
#endif

namespace {

struct load_fixture {
    std::vector<unsigned char> key, in, out;
    load_fixture() : key(20), in(LOAD_SIZE), out(LOAD_SIZE)
    {
        std::mt19937 rng(42);
        for (auto& b : key)
            b = (unsigned char)rng();
        for (auto& b : in)
            b = (unsigned char)rng();
    }
};

void BM_block_step(benchmark::State& state)
{
    load_fixture f;
    thei99_dsa ctx;
    cA87315c_start(&ctx, 0, f.key.data(), 20);
    for (auto _ : state) {
        for (size_t i = 0; i < LOAD_SIZE; i += 8)
            cA87315c_8(&ctx, f.in.data() + i, f.out.data() + i);
        benchmark::DoNotOptimize(f.out.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)LOAD_SIZE);
}
BENCHMARK(BM_block_step);

void BM_multi_block(benchmark::State& state)
{
    load_fixture f;
    thei99_dsa ctx;
    cA87315c_start(&ctx, 0, f.key.data(), 20);
    for (auto _ : state) {
        crypto_blocks(&ctx, f.in.data(), f.out.data(), LOAD_SIZE);
        benchmark::DoNotOptimize(f.out.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)LOAD_SIZE);
}
BENCHMARK(BM_multi_block);

#ifdef HAVE_OPENSSL
void BM_openssl_bf_ecb(benchmark::State& state)
{
    load_fixture f;
    BF_KEY key;
    BF_set_key(&key, 20, f.key.data());
    for (auto _ : state) {
        for (size_t i = 0; i < LOAD_SIZE; i += 8)
            BF_ecb_encrypt(f.in.data() + i, f.out.data() + i, &key, BF_DECRYPT);
        benchmark::DoNotOptimize(f.out.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)LOAD_SIZE);
}
BENCHMARK(BM_openssl_bf_ecb);
#endif

void BM_key_schedule(benchmark::State& state)
{
    load_fixture f;
    thei99_dsa ctx;
    for (auto _ : state) {
        cA87315c_start(&ctx, 0, f.key.data(), 20);
        benchmark::DoNotOptimize(&ctx);
    }
}
BENCHMARK(BM_key_schedule)->Unit(benchmark::kMicrosecond);

}  // namespace
