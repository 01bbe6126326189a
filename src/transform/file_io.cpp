// Loads a bounded input whole and stores a block in one piece.
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "block.h"
#include "transform.h"

// A size past 4 GiB must be neither refused by a 32-bit type nor wrapped by
// one; the build asks for 64-bit file offsets on every target.
static_assert(sizeof(off_t) == 8, "off_t must hold 64 bits: build with _FILE_OFFSET_BITS=64");

namespace {

// The size probe has no failure result: it reports and ends the run.
[[noreturn]] void fail_probe(const char *message)
{
    (void)std::fputs(message, stderr);
    std::exit(1);
}

} // namespace

std::size_t get_input_size(std::FILE *stream)
{
    if (fseeko(stream, 0, SEEK_END) != 0)
        fail_probe("Couldn't seek to end of file.");
    const off_t end = ftello(stream);
    if (end == -1)
        fail_probe("ftell() failed.");
    std::rewind(stream);
    if (static_cast<std::uint64_t>(end) > MAX_INPUT_SIZE)
        fail_probe("Input file was larger than 4MiB!");
    return static_cast<std::size_t>(end);
}

int read_input(std::FILE *stream, byte_buffer &buffer)
{
    const std::size_t size = get_input_size(stream);
    // An empty input needs no block, and malloc(0) may rightly return null.
    if (size == 0) {
        buffer.data = nullptr;
        buffer.length = 0;
        return 0;
    }
    unsigned char *block = allocate_block(size);
    if (block == nullptr)
        return 1;
    if (std::fread(block, 1, size, stream) != size) {
        free_block(block, size);
        return 1;
    }
    xor_buffer(block, size);
    buffer.data = block;
    buffer.length = size;
    return 0;
}

int write_output(std::FILE *stream, const unsigned char *data, std::size_t length)
{
    // The last buffered bytes can only fail at the flush (a full disk), and
    // the error indicator remembers a failure that a later close may not.
    if (length > 0 && std::fwrite(data, 1, length, stream) != length)
        return 1;
    if (std::fflush(stream) != 0 || std::ferror(stream) != 0)
        return 1;
    return 0;
}
