// Speed of the cipher, in bytes per second: each kernel the processor offers
// and the dispatching xor_buffer, beside a plain modulo loop and memcpy as
// the yardstick, at 64 KiB and 4 MiB, on 64-byte-aligned buffers (offset 0)
// and at malloc's usual 16 bytes past a boundary (offset 16).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "transform/xor_kernels.h"

namespace {

// Bytes at the requested offset past a 64-byte boundary.
unsigned char *placed(std::vector<unsigned char> &storage, std::size_t offset)
{
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
    return storage.data() + (64 - address % 64) % 64 + offset;
}

void modulo_loop(unsigned char *bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] ^= XOR_KEY[i % sizeof XOR_KEY];
}

void transform(benchmark::State &state, void (*kernel)(unsigned char *, std::size_t))
{
    const auto length = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> storage(length + 128, 0x5a);
    unsigned char *bytes = placed(storage, static_cast<std::size_t>(state.range(1)));
    for (auto _ : state) {
        kernel(bytes, length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void copy(benchmark::State &state)
{
    const auto length = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> from(length + 128, 0x5a), to(length + 128);
    const auto offset = static_cast<std::size_t>(state.range(1));
    unsigned char *source = placed(from, offset);
    unsigned char *target = placed(to, offset);
    for (auto _ : state) {
        std::memcpy(target, source, length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void add(benchmark::internal::Benchmark *benchmark)
{
    benchmark->ArgsProduct({{64 << 10, 4 << 20}, {0, 16}})->ArgNames({"bytes", "offset"});
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    add(benchmark::RegisterBenchmark("memcpy", copy));
    add(benchmark::RegisterBenchmark("modulo_loop", transform, modulo_loop));
    add(benchmark::RegisterBenchmark("portable", transform, xor_portable));
#if defined(__x86_64__)
    add(benchmark::RegisterBenchmark("sse2", transform, xor_sse2));
    if (kernel_supported(xor_kernel::avx2))
        add(benchmark::RegisterBenchmark("avx2", transform, xor_avx2));
    if (kernel_supported(xor_kernel::avx512bw))
        add(benchmark::RegisterBenchmark("avx512bw", transform, xor_avx512bw));
#endif
    add(benchmark::RegisterBenchmark("xor_buffer", transform, xor_buffer));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
