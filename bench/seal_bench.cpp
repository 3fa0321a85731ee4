// One view notice sealed and its sealed form opened, through SealText and OpenText,
// against the DES calls the two make on the same bytes, keys derived afresh for each as
// every sealer does, without the Base64, the buffers and the wiping around them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/des.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "viewlog/Base64.h"
#include "viewlog/LogSealer.h"

namespace {

const char kLine[] = "user0001,0001234,5,an ad shown on the start page";
const char kPassphrase[] = "ZxR2pVq9TmWa";

void ThreePasses(const unsigned char* in, unsigned char* out, long len, int first) {
    char phrase[sizeof kPassphrase];
    std::memcpy(phrase, kPassphrase, sizeof phrase);
    DES_cblock key1, key2;
    DES_key_schedule s1, s2;
    DES_string_to_2keys(phrase, &key1, &key2);
    DES_set_key_unchecked(&key2, &s2);
    DES_set_key_unchecked(&key1, &s1);
    DES_cblock iv = {0};
    DES_cbc_encrypt(in, out, len, &s1, &iv, first);
    DES_cbc_encrypt(out, out, len, &s2, &iv, !first);
    DES_cbc_encrypt(out, out, len, &s1, &iv, first);
}

void SealOpen(benchmark::State& state) {
    for (auto _ : state) {
        auto sealed = SealText(kLine);
        auto plain = OpenText(sealed.get());
        benchmark::DoNotOptimize(plain.get());
    }
    state.SetItemsProcessed(state.iterations());
}

void RawDes(benchmark::State& state) {
    const size_t len = (std::strlen(kLine) + 7) / 8 * 8;
    unsigned char plain[64] = {}, cipher[64], back[64];
    std::memcpy(plain, kLine, std::strlen(kLine));
    for (auto _ : state) {
        ThreePasses(plain, cipher, static_cast<long>(len), DES_ENCRYPT);
        ThreePasses(cipher, back, static_cast<long>(len), DES_DECRYPT);
        benchmark::DoNotOptimize(back);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    // Both must do the same work: the bench is void if ours does not give the line back.
    auto sealed = SealText(kLine);
    auto opened = OpenText(sealed.get());
    if (!opened || std::strcmp(opened.get(), kLine) != 0) std::abort();
    unsigned char plain[64] = {}, cipher[64];
    std::memcpy(plain, kLine, std::strlen(kLine));
    const size_t len = (std::strlen(kLine) + 7) / 8 * 8;
    ThreePasses(plain, cipher, static_cast<long>(len), DES_ENCRYPT);
    char text[128];
    CBase64().Encode(cipher, len, text, sizeof text);
    if (std::strcmp(text, sealed.get()) != 0) std::abort();
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("seal/ours", SealOpen)->MinTime(0.3);
    benchmark::RegisterBenchmark("seal/raw_des", RawDes)->MinTime(0.3);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
