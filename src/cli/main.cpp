// xorfile INPUT OUTPUT: writes INPUT, combined with a fixed repeating key,
// to OUTPUT.  Running it again on OUTPUT gives INPUT back.
#include <sys/stat.h>

#include <cstdio>

#include "transform/transform.h"

namespace {

// The run's one failure message, printed by the cleanup in main.
const char *error_msg = nullptr;

// Opening the output empties it, so an input named again as the output,
// under any spelling or link, would be lost before it was read.
bool same_file(std::FILE *input, const char *output_path)
{
    struct stat in_info = {};
    struct stat out_info = {};
    if (fstat(fileno(input), &in_info) != 0 || stat(output_path, &out_info) != 0)
        return false;
    return in_info.st_dev == out_info.st_dev && in_info.st_ino == out_info.st_ino;
}

// The steps of a run.  The first failure sets error_msg and returns 1; what
// was acquired by then is left for main to release.
int run(const char *input_path, const char *output_path, std::FILE *&input, std::FILE *&output,
        byte_buffer &buffer)
{
    input = std::fopen(input_path, "rb");
    if (input == nullptr) {
        error_msg = "Failed to open input file!\n";
        return 1;
    }
    if (same_file(input, output_path)) {
        error_msg = "Input and output are the same file!\n";
        return 1;
    }
    output = std::fopen(output_path, "wb");
    if (output == nullptr) {
        error_msg = "Failed to open output file!\n";
        return 1;
    }
    if (read_input(input, buffer) != 0) {
        error_msg = "Failed to read data from input file\n";
        return 1;
    }
    // Success is reported only once every byte has reached the file, and a
    // full disk may show itself no earlier than the close.
    const int written = write_output(output, buffer.data, buffer.length);
    const int closed = std::fclose(output);
    output = nullptr;
    if (written != 0 || closed != 0) {
        error_msg = "Failed to write data to output file\n";
        return 1;
    }
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
