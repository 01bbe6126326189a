// xorfile INPUT OUTPUT: writes INPUT, combined with a fixed repeating key,
// to OUTPUT.  Running it again on OUTPUT gives INPUT back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "transform/transform.h"

namespace {

// The run's one failure message, printed by the cleanup in main.
const char *error_msg = nullptr;

constexpr const char *INPUT_UNUSABLE = "Failed to open input file!\n";
constexpr const char *OUTPUT_UNUSABLE = "Failed to open output file!\n";
constexpr const char *SAME_FILE = "Input and output are the same file!\n";

bool same_identity(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens path as a stream on a descriptor above the standard ones, or returns
// null.  A standard descriptor the process was started without thus stays
// closed, as it would for any program: what is printed to it fails
// harmlessly instead of landing in a file.
std::FILE *open_stream(const char *path, int flags, mode_t mode, const char *stream_mode)
{
    int fd = open(path, flags, mode);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int low = fd;
        fd = fcntl(low, F_DUPFD, STDERR_FILENO + 1);
        (void)close(low);
    }
    if (fd < 0)
        return nullptr;
    std::FILE *stream = fdopen(fd, stream_mode);
    if (stream == nullptr)
        (void)close(fd);
    return stream;
}

// Whether what is written to descriptor fd lands in the file.  A closed
// descriptor writes nowhere, and a character device (a terminal, /dev/null)
// stores nothing.  A descriptor whose identity cannot be taken counts: the
// guards fail closed.
bool writes_to(int fd, const struct stat &file)
{
    if (S_ISCHR(file.st_mode))
        return false;
    struct stat info = {};
    if (fstat(fd, &info) != 0)
        return errno != EBADF;
    return same_identity(info, file);
}

// No message may land in INPUT or OUTPUT, the size probe's included, so
// standard error sent into either opened file is closed, and every later
// message fails.  Returns whether it was.
bool keep_messages_out_of(const struct stat &file)
{
    if (!writes_to(STDERR_FILENO, file))
        return false;
    (void)close(STDERR_FILENO);
    return true;
}

// Whether standard error goes to the file that path names, or may: its
// identity cannot be taken.  A name that names no file matches nothing.
bool messages_would_land_in(const char *path)
{
    struct stat info = {};
    return stat(path, &info) == 0 && writes_to(STDERR_FILENO, info);
}

// Whether a descriptor above the standard ones is free, found by copying
// open_fd there.  An open that creates a file on a free standard number can
// then always move it up, instead of failing and leaving the new file
// behind.  With one thread, the number stays free until the next open.
bool free_descriptor_above_standard(int open_fd)
{
    const int spare = fcntl(open_fd, F_DUPFD, STDERR_FILENO + 1);
    if (spare < 0)
        return false;
    (void)close(spare);
    return true;
}

int fail(const char *message)
{
    error_msg = message;
    return 1;
}

// A directory opens for reading, but what reading it reports depends on the
// file system; none of it says what is wrong.
int open_input(const char *path, std::FILE *&input, struct stat &info)
{
    input = open_stream(path, O_RDONLY, 0, "rb");
    if (input == nullptr || fstat(fileno(input), &info) != 0 || S_ISDIR(info.st_mode))
        return fail(INPUT_UNUSABLE);
    (void)keep_messages_out_of(info);
    // The success line would land on or among the bytes about to be read.
    if (writes_to(STDOUT_FILENO, info))
        return fail(SAME_FILE);
    return 0;
}

// Opens the output without emptying it, so that whether it is the input is
// decided on the file actually opened: a path checked first could be swapped
// for a link to the input before the open.  Only a file known to differ from
// the input, and from where messages go, is emptied.  A new file takes the
// input's permissions: a private file's restored copy stays private.  A
// stream opened before a failure is left in output for main to close.
int open_output(int in_fd, const struct stat &in_info, const char *path, std::FILE *&output)
{
    struct stat out_info = {};
    output = free_descriptor_above_standard(in_fd)
                 ? open_stream(path, O_WRONLY | O_CREAT, in_info.st_mode & 0777, "wb")
                 : nullptr;
    if (output == nullptr) {
        // The output may be the input, only not writable.
        const bool same = stat(path, &out_info) == 0 && same_identity(in_info, out_info);
        return fail(same ? SAME_FILE : OUTPUT_UNUSABLE);
    }
    const int fd = fileno(output);
    if (fstat(fd, &out_info) != 0)
        return fail(OUTPUT_UNUSABLE);
    if (same_identity(in_info, out_info))
        return fail(SAME_FILE);
    // Messages would land on or among the data.
    if (keep_messages_out_of(out_info) || writes_to(STDOUT_FILENO, out_info))
        return fail(OUTPUT_UNUSABLE);
    // A device or a FIFO has nothing to empty.
    if (S_ISREG(out_info.st_mode) && ftruncate(fd, 0) != 0)
        return fail(OUTPUT_UNUSABLE);
    return 0;
}

// The steps of a run.  The first failure sets error_msg and returns 1; what
// was acquired by then is left for main to release.
int run(const char *input_path, const char *output_path, std::FILE *&input, std::FILE *&output,
        byte_buffer &buffer)
{
    struct stat in_info = {};
    if (open_input(input_path, input, in_info) != 0 ||
        open_output(fileno(input), in_info, output_path, output) != 0)
        return 1;
    if (read_input(input, buffer) != 0)
        return fail("Failed to read data from input file\n");
    // Success is reported only once every byte has reached the file, and a
    // full disk may show itself no earlier than the close.
    const int written = write_output(output, buffer.data, buffer.length);
    const int closed = std::fclose(output);
    output = nullptr;
    if (written != 0 || closed != 0)
        return fail("Failed to write data to output file\n");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        // A process can be started without a name.
        const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
        std::printf("USAGE: %s <input_file> <output_file>\n", named ? argv[0] : "xorfile");
        return 1;
    }

    std::FILE *input = nullptr;
    std::FILE *output = nullptr;
    byte_buffer buffer;
    // Decided before anything is opened, so that no failure, however early,
    // writes its message into either file.  The checks on the opened files
    // still catch a name swapped for another file while the program runs.
    const bool quiet = messages_would_land_in(argv[1]) || messages_would_land_in(argv[2]);
    const int result = run(argv[1], argv[2], input, output, buffer);
    if (result == 0)
        std::printf("Wrote %zu bytes of encrypted data to %s\n", buffer.length, argv[2]);

    release_buffer(buffer);
    if (error_msg != nullptr && !quiet)
        (void)std::fputs(error_msg, stderr);
    // Nothing was written to the input, and the output is closed here only
    // after a failure that has been reported already.
    if (input != nullptr)
        (void)std::fclose(input);
    if (output != nullptr)
        (void)std::fclose(output);
    return result;
}
