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
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    // An anonymous mapping takes -1 for its file descriptor.
    // cppcheck-suppress invalidFunctionArg
    void *mapping = mmap(nullptr, span + HUGE_PAGE, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    auto *raw = static_cast<unsigned char *>(mapping);
    const std::size_t head =
        (HUGE_PAGE - reinterpret_cast<std::uintptr_t>(raw) % HUGE_PAGE) % HUGE_PAGE;
    unsigned char *block = raw + head;
    if (head > 0)
        munmap(raw, head);
    munmap(block + span, HUGE_PAGE - head);
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
