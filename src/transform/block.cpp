// Large blocks are mapped on their own, aligned to and advised for huge
// pages: filling 4 MiB then takes two page faults instead of a thousand.
// Small blocks come from malloc, which is cheaper for them.
#include "block.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "transform.h"

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Below this, clearing a whole huge page costs more than the small pages'
// faults that it saves (measured on whole runs).
constexpr std::size_t MAPPED_FROM = std::size_t{256} << 10;

std::size_t mapped_size(std::size_t size)
{
    return (size + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

} // namespace

unsigned char *allocate_block(std::size_t size)
{
    if (size < MAPPED_FROM)
        return static_cast<unsigned char *>(std::malloc(size));

    // Map one huge page more than needed, then trim both ends so that the
    // block starts on a huge-page boundary.
    const std::size_t span = mapped_size(size);
    void *raw =
        mmap(nullptr, span + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t end = start + span + HUGE_PAGE;
    if (aligned > start)
        munmap(raw, aligned - start);
    if (end > aligned + span)
        munmap(reinterpret_cast<void *>(aligned + span), end - (aligned + span));
    auto *block = reinterpret_cast<unsigned char *>(aligned);
    // Advice only: without huge pages the block works the same, just slower.
    madvise(block, span, MADV_HUGEPAGE);
    return block;
}

void free_block(unsigned char *block, std::size_t size)
{
    if (size < MAPPED_FROM)
        std::free(block);
    else if (block != nullptr)
        munmap(block, mapped_size(size));
}

void release_buffer(byte_buffer &buffer)
{
    free_block(buffer.data, buffer.length);
    buffer.data = nullptr;
    buffer.length = 0;
}
