// MD5 throughput on 1 MiB buffers: the program's routine next to OpenSSL's, in one run so the
// two figures share the machine's conditions.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "backupfile/md5.h"

namespace {

const std::vector<uint8_t>& Buffer() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(1 << 20);
    std::mt19937 random(7);
    for (auto& x : b) x = static_cast<uint8_t>(random());
    return b;
  }();
  return bytes;
}

void BM_LarkpostMd5(benchmark::State& state) {
  const auto& bytes = Buffer();
  for (auto _ : state) {
    auto digest = larkpost::Md5Digest(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

void BM_OpenSslMd5(benchmark::State& state) {
  const auto& bytes = Buffer();
  for (auto _ : state) {
    unsigned char digest[16];
    unsigned size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

}  // namespace

BENCHMARK(BM_LarkpostMd5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslMd5)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
