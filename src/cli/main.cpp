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

constexpr const char *OUTPUT_UNUSABLE = "Failed to open output file!\n";
constexpr const char *SAME_FILE = "Input and output are the same file!\n";

bool same_identity(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A directory opens for reading, but what reading it reports depends on the
// file system; none of it says what is wrong.
bool is_directory(std::FILE *stream)
{
    struct stat info = {};
    return fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode);
}

// A process started with descriptor 0, 1 or 2 closed would open its files on
// those numbers, and what it prints would be written into them: a refusal
// into the very input it protects.  /dev/null takes any closed one first.
bool standard_descriptors_open()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open takes the lowest free number, the one just found closed.
        if (open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

// Whether the output is the file that standard output or error writes to,
// where the messages would land on or among the data.  A character device (a
// terminal, /dev/null) stores nothing, so it is no such file.  A descriptor
// whose identity cannot be taken counts as the output: the guard fails closed.
bool is_message_stream(const struct stat &out_info)
{
    if (S_ISCHR(out_info.st_mode))
        return false;
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat info = {};
        if (fstat(fd, &info) != 0 || same_identity(info, out_info))
            return true;
    }
    return false;
}

int fail(const char *message)
{
    error_msg = message;
    return 1;
}

// Opens the output without emptying it, so that whether it is the input is
// decided on the file actually opened: a path checked first could be swapped
// for a link to the input before the open.  Only a file known to differ from
// the input is emptied.  A stream opened before a failure is left in output
// for main to close.
int open_output(std::FILE *input, const char *path, std::FILE *&output)
{
    struct stat in_info = {};
    struct stat out_info = {};
    if (fstat(fileno(input), &in_info) != 0)
        return fail(OUTPUT_UNUSABLE);
    const int fd = open(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0) {
        // The output may be the input, only not writable.
        const bool same = stat(path, &out_info) == 0 && same_identity(in_info, out_info);
        return fail(same ? SAME_FILE : OUTPUT_UNUSABLE);
    }
    output = fdopen(fd, "wb");
    if (output == nullptr) {
        (void)close(fd);
        return fail(OUTPUT_UNUSABLE);
    }
    if (fstat(fd, &out_info) != 0)
        return fail(OUTPUT_UNUSABLE);
    if (same_identity(in_info, out_info))
        return fail(SAME_FILE);
    if (is_message_stream(out_info))
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
    if (!standard_descriptors_open())
        return fail("Failed to open /dev/null!\n");
    input = std::fopen(input_path, "rb");
    if (input == nullptr || is_directory(input))
        return fail("Failed to open input file!\n");
    if (open_output(input, output_path, output) != 0)
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
    const int result = run(argv[1], argv[2], input, output, buffer);
    if (result == 0)
        std::printf("Wrote %zu bytes of encrypted data to %s\n", buffer.length, argv[2]);

    release_buffer(buffer);
    if (error_msg != nullptr)
        (void)std::fputs(error_msg, stderr);
    // Nothing was written to the input, and the output is closed here only
    // after a failure that has been reported already.
    if (input != nullptr)
        (void)std::fclose(input);
    if (output != nullptr)
        (void)std::fclose(output);
    return result;
}
