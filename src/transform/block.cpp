// Large blocks are mapped on their own and, where transparent huge pages
// are 2 MiB, aligned to and advised for them: filling 4 MiB then takes two
// page faults instead of a thousand.  Small blocks come from malloc, which
// is cheaper for them.
#include "block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "transform.h"

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Below this, clearing a whole huge page costs more than the small pages'
// faults that it saves (measured on whole runs).
constexpr std::size_t MAPPED_FROM = std::size_t{256} << 10;

std::size_t round_up(std::size_t size, std::size_t page)
{
    return (size + page - 1) & ~(page - 1);
}

std::size_t small_page()
{
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Whether transparent huge pages are the 2 MiB that the block is aligned to.
// Elsewhere (16 MiB with the ppc64 hash MMU, 32 or 512 MiB on arm64 with
// larger base pages, none without the kernel's support) a 4 MiB block is
// never backed by one, and aligning it would only cost address space.
bool huge_pages_are_2_mib()
{
    const int fd = open("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", O_RDONLY);
    if (fd < 0)
        return false;
    char text[24] = {};
    const ssize_t count = read(fd, text, sizeof text - 1);
    (void)close(fd);
    return count > 0 && std::strtoull(text, nullptr, 10) == HUGE_PAGE;
}

bool on_huge_page(const unsigned char *block)
{
    return reinterpret_cast<std::uintptr_t>(block) % HUGE_PAGE == 0;
}

unsigned char *map(std::size_t length)
{
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    // An anonymous mapping takes -1 for its file descriptor.
    // cppcheck-suppress invalidFunctionArg
    void *mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, flags, -1, 0);
    return mapping == MAP_FAILED ? nullptr : static_cast<unsigned char *>(mapping);
}

// Maps one huge page more than needed, then trims both ends so that the
// block starts on a huge-page boundary.
unsigned char *map_on_huge_pages(std::size_t size)
{
    const std::size_t span = round_up(size, HUGE_PAGE);
    unsigned char *raw = map(span + HUGE_PAGE);
    if (raw == nullptr)
        return nullptr;
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

// Where huge pages do not suit, or a tight memory limit leaves no room for
// their alignment, a block of just the input's size on small pages.  It is
// kept off huge-page boundaries, which is how free_block tells it from the
// block above: one small page more is mapped, and the end that would leave
// the block on a boundary is trimmed.
unsigned char *map_on_small_pages(std::size_t size)
{
    const std::size_t page = small_page();
    const std::size_t length = round_up(size, page);
    unsigned char *raw = map(length + page);
    if (raw == nullptr)
        return nullptr;
    const bool at_boundary = on_huge_page(raw);
    unsigned char *block = at_boundary ? raw + page : raw;
    unsigned char *spare = at_boundary ? raw : raw + length;
    munmap(spare, page);
    return block;
}

} // namespace

unsigned char *allocate_block(std::size_t size)
{
    if (size < MAPPED_FROM)
        return static_cast<unsigned char *>(std::malloc(size));
    unsigned char *block = huge_pages_are_2_mib() ? map_on_huge_pages(size) : nullptr;
    return block != nullptr ? block : map_on_small_pages(size);
}

void free_block(unsigned char *block, std::size_t size)
{
    if (size < MAPPED_FROM)
        std::free(block);
    else if (block != nullptr)
        munmap(block, round_up(size, on_huge_page(block) ? HUGE_PAGE : small_page()));
}

void release_buffer(byte_buffer &buffer)
{
    free_block(buffer.data, buffer.length);
    buffer.data = nullptr;
    buffer.length = 0;
}
