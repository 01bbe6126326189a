// Speed of the cipher, in bytes per second, beside a plain modulo loop and
// memcpy as the yardstick, at 64 KiB and 4 MiB, on 64-byte-aligned buffers
// (offset 0) and at malloc's usual 16 bytes past a boundary (offset 16).
// Buffers come from the program's own allocator, so large ones sit on huge
// pages as they do in a run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "transform/block.h"
#include "transform/transform.h"

namespace {

// A block of the program's kind with room for any placement.
struct storage {
    std::size_t size;
    unsigned char *block;
    explicit storage(std::size_t bytes) : size(bytes), block(allocate_block(bytes)) {}
    storage(const storage &) = delete;
    storage &operator=(const storage &) = delete;
    ~storage() { free_block(block, size); }

    // Bytes at the requested offset past a 64-byte boundary.
    unsigned char *placed(std::size_t offset, unsigned char fill)
    {
        std::memset(block, fill, size);
        const auto address = reinterpret_cast<std::uintptr_t>(block);
        return block + (64 - address % 64) % 64 + offset;
    }
};

void modulo_loop(unsigned char *bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] ^= XOR_KEY[i % sizeof XOR_KEY];
}

void transform(benchmark::State &state, void (*kernel)(unsigned char *, std::size_t))
{
    const auto length = static_cast<std::size_t>(state.range(0));
    storage buffer{length + 128};
    unsigned char *bytes = buffer.placed(static_cast<std::size_t>(state.range(1)), 0x5a);
    for (auto _ : state) {
        kernel(bytes, length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void copy(benchmark::State &state)
{
    const auto length = static_cast<std::size_t>(state.range(0));
    storage from{length + 128};
    storage to{length + 128};
    const auto offset = static_cast<std::size_t>(state.range(1));
    unsigned char *source = from.placed(offset, 0x5a);
    unsigned char *target = to.placed(offset, 0);
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
    add(benchmark::RegisterBenchmark("xor_buffer", transform, xor_buffer));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
