// The built program run as a user runs it: exact standard output, standard
// error, exit status and files, for every outcome of a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "reference.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t bound = 4194304;

// A child that cannot execute the program exits with status 127.
#ifdef XORFILE_EMULATED
constexpr const char *CANNOT_START = "the kernel does not know qemu for this architecture: "
                                     "register it with binfmt_misc (.ci/binfmt does)";
#else
constexpr const char *CANNOT_START = "the program cannot be executed";
#endif

constexpr const char *SAME_FILE = "Input and output are the same file!\n";
constexpr const char *OUTPUT_UNUSABLE = "Failed to open output file!\n";

struct outcome {
    int status; // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

std::string read_file(const fs::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void write_file(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string usage(const std::string &name)
{
    return "USAGE: " + name + " <input_file> <output_file>\n";
}

// Changes the started program's descriptors after its standard output and
// error have been sent to the capture files.
using file_actions = std::function<void(posix_spawn_file_actions_t *)>;

// Starts the program without the standard descriptors whose bits are set
// (bit 0 for standard input, and so on).
file_actions close_descriptors(unsigned mask)
{
    if (mask == 0)
        return {};
    return [mask](posix_spawn_file_actions_t *actions) {
        for (int fd = 0; fd <= 2; ++fd)
            if ((mask & (1U << fd)) != 0)
                posix_spawn_file_actions_addclose(actions, fd);
    };
}

std::string wrote(std::size_t count, const std::string &path)
{
    return "Wrote " + std::to_string(count) + " bytes of encrypted data to " + path + "\n";
}

class Run : public testing::Test {
protected:
    fs::path root; // holds the captured streams
    fs::path work; // the program's working directory, holding only its files

    void SetUp() override
    {
        char name[] = "/tmp/xorfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        work = root / "work";
        fs::create_directory(work);
    }

    void TearDown() override { fs::remove_all(root); }

    // Runs `program` in `work` with exactly this argument vector; standard
    // output and error go to files, so nothing can block, unless `redirect`
    // sends them elsewhere.  while_running is called once the process has
    // started.
    outcome run_argv(const std::vector<std::string> &args, const file_actions &redirect = {},
                     const char *program = XORFILE_BIN,
                     const std::function<void()> &while_running = {})
    {
        std::vector<char *> argv;
        argv.reserve(args.size() + 1);
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        const std::string out = root / "stdout";
        const std::string err = root / "stderr";

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, work.c_str());
        const int flags = O_WRONLY | O_CREAT | O_TRUNC;
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), flags, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), flags, 0644);
        if (redirect)
            redirect(&actions);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << program;
            return {-1, "", ""};
        }
        if (while_running)
            while_running();
        int status = 0;
        while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status)) << "the program did not exit normally";
        EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 127)
            << program << ": " << CANNOT_START;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
    }

    outcome run(const std::string &input, const std::string &output)
    {
        return run_argv({XORFILE_BIN, input, output});
    }

    std::optional<std::string> output_file(const std::string &name = "out")
    {
        if (!fs::exists(work / name))
            return std::nullopt;
        return read_file(work / name);
    }
};

TEST_F(Run, WrongOperandCountPrintsUsageAndTouchesNothing)
{
    const std::string bin = XORFILE_BIN;
    // clang-format off
    const struct {
        std::vector<std::string> argv;
        std::string expected;
    } cases[] = {
        {{bin}, usage(bin)},
        {{bin, "a"}, usage(bin)},
        {{bin, "a", "b", "c"}, usage(bin)},
        {{}, usage("xorfile")},
        {{""}, usage("xorfile")},
        {{"\xc3\xa9"}, usage("\xc3\xa9")},
    };
    // clang-format on
    for (const auto &c : cases) {
        const outcome r = run_argv(c.argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(fs::is_empty(work)) << "a file was created";
    }
}

TEST_F(Run, FailuresGiveTheirMessageStatusOneAndTheDocumentedOutput)
{
    // clang-format off
    const struct {
        const char *name;
        std::string input_path;
        std::optional<std::uint64_t> input_size; // no input file when empty
        std::optional<std::string> existing_output;
        std::string output_path;
        std::string expected_err;
        std::optional<std::string> expected_output; // absent when empty
    } cases[] = {
        {"missing input", "in", {}, {}, "out", "Failed to open input file!\n", {}},
        {"directory as input", ".", {}, {}, "out", "Failed to open input file!\n", {}},
        {"directory as input keeps the output", ".", {}, "keep", "out", "Failed to open input file!\n", "keep"},
        {"missing input keeps the output", "in", {}, "keep", "out", "Failed to open input file!\n", "keep"},
        {"output directory missing", "in", 10, {}, "nodir/out", OUTPUT_UNUSABLE, {}},
        {"output is a directory", "in", 10, {}, ".", OUTPUT_UNUSABLE, {}},
        {"one byte over the bound", "in", bound + 1, "old", "out", "Input file was larger than 4MiB!", ""},
        {"3 GiB", "in", 3ULL << 30, "old", "out", "Input file was larger than 4MiB!", ""},
        {"5 past 4 GiB, in 32 bits 5", "in", (1ULL << 32) + 5, "old", "out", "Input file was larger than 4MiB!", ""},
        {"full disk, small write", "in", 10, {}, "/dev/full", "Failed to write data to output file\n", {}},
        {"full disk, large write", "in", 1 << 20, {}, "/dev/full", "Failed to write data to output file\n", {}},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(work);
        fs::create_directory(work);
        // Inputs past the bound are sparse: their size costs no disk space.
        std::string input;
        if (c.input_size && *c.input_size <= bound) {
            input = random_bytes(static_cast<std::size_t>(*c.input_size));
            write_file(work / "in", input);
        } else if (c.input_size) {
            write_file(work / "in", "");
            ASSERT_EQ(truncate((work / "in").c_str(), static_cast<off_t>(*c.input_size)), 0);
        }
        if (c.existing_output)
            write_file(work / "out", *c.existing_output);

        const outcome r = run(c.input_path, c.output_path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.expected_err);
        EXPECT_EQ(output_file(), c.expected_output);
        if (c.input_size && *c.input_size <= bound) {
            EXPECT_TRUE(read_file(work / "in") == input) << "the input changed";
        }
    }
}

TEST_F(Run, RefusesAnInputThatCannotBePositioned)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(write(pipe_fds[1], "data", 4), 4);
    close(pipe_fds[1]);
    const outcome r = run_argv({XORFILE_BIN, "/dev/stdin", "out"}, [&](auto *actions) {
        posix_spawn_file_actions_adddup2(actions, pipe_fds[0], 0);
    });
    close(pipe_fds[0]);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Couldn't seek to end of file.");
    EXPECT_EQ(output_file(), "");
}

TEST_F(Run, ReportsAnInputThatDeliversLessThanItsSize)
{
    // Attribute files report a page as their size but hold a few bytes.
    const char *attribute = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (!fs::exists(attribute))
        GTEST_SKIP() << attribute << " is not available";
    const outcome r = run(attribute, "out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to read data from input file\n");
    EXPECT_EQ(output_file(), "");
}

TEST_F(Run, RefusesTheSameFileUnderAnySpellingAndLeavesItIntact)
{
    const std::string original = random_bytes(1000);
    write_file(work / "a", original);
    fs::create_directory(work / "sub");
    fs::create_symlink("a", work / "link");
    fs::create_hard_link(work / "a", work / "hard");
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"a", "a"}, {"a", "./a"}, {"a", "sub/../a"}, {"a", "link"},
        {"link", "a"}, {"a", "hard"}, {"a", (work / "a").string()},
    };
    // clang-format on
    for (const auto &[input, output] : cases) {
        SCOPED_TRACE(testing::Message() << input << " " << output);
        const outcome r = run(input, output);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, SAME_FILE);
        EXPECT_TRUE(read_file(work / "a") == original) << "the file changed";
    }
}

// A process may be started with any of its standard descriptors closed; the
// files it opens must not take their place and receive its messages.
TEST_F(Run, OnlyDataReachesTheFilesWhateverStandardDescriptorsAreClosed)
{
    const std::string attribute = "/sys/kernel/mm/transparent_hugepage/enabled";
    // clang-format off
    const struct {
        const char *name;
        std::string input;
        std::size_t input_size; // of "in", sparse past the bound
        std::string output;
        int status;
        std::string expected_err;
    } cases[] = {
        {"same file", "in", 1000, "in", 1, SAME_FILE},
        {"input over the bound", "in", bound + 1, "out", 1, "Input file was larger than 4MiB!"},
        {"short read", attribute, 0, "out", 1, "Failed to read data from input file\n"},
        {"complete run", "in", 1000, "out", 0, ""},
    };
    // clang-format on
    for (const auto &c : cases) {
        if (c.input == attribute && !fs::exists(attribute)) {
            std::printf("%s: %s is not available\n", c.name, attribute.c_str());
            continue;
        }
        for (unsigned closed = 0; closed < 8; ++closed) {
            SCOPED_TRACE(testing::Message() << c.name << ", closed mask " << closed);
            fs::remove_all(work);
            fs::create_directory(work);
            const bool sparse = c.input_size > bound;
            const std::string input =
                sparse ? std::string(c.input_size, '\0') : random_bytes(c.input_size);
            write_file(work / "in", sparse ? "" : input);
            ASSERT_EQ(truncate((work / "in").c_str(), static_cast<off_t>(c.input_size)), 0);

            const outcome r = run_argv({XORFILE_BIN, c.input, c.output}, close_descriptors(closed));
            EXPECT_EQ(r.status, c.status);
            if ((closed & 2U) == 0) {
                EXPECT_EQ(r.out, c.status == 0 ? wrote(input.size(), c.output) : "");
            }
            if ((closed & 4U) == 0) {
                EXPECT_EQ(r.err, c.expected_err);
            }
            EXPECT_TRUE(read_file(work / "in") == input) << "the input changed";
            if (c.output == "out") {
                EXPECT_TRUE(output_file() == (c.status == 0 ? reference_xor(input) : ""))
                    << "the output holds more than the data";
            }
        }
    }
}

// Messages written to a file that is also OUTPUT would land on or among the
// data; a character device stores nothing and is let through.
TEST_F(Run, RefusesAnOutputThatIsItsOwnStandardOutputOrError)
{
    enum class to { capture, output_appended, pipe, null };
    // clang-format off
    const struct {
        const char *name;
        std::string output;
        to standard_output;
        int status;
        std::string expected_err;
        std::string stdout_holds; // afterwards, where standard output went
    } cases[] = {
        {"standard output, a file", "/dev/stdout", to::capture, 1, OUTPUT_UNUSABLE, ""},
        {"standard error, a file", "/dev/stderr", to::capture, 1, OUTPUT_UNUSABLE, ""},
        {"standard output appended to it", "out", to::output_appended, 1, OUTPUT_UNUSABLE, "old"},
        {"standard output, a pipe", "/dev/stdout", to::pipe, 1, OUTPUT_UNUSABLE, ""},
        {"/dev/null, as standard output is", "/dev/null", to::null, 0, "", ""},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = random_bytes(1000);
        write_file(work / "in", input);
        write_file(work / "out", "old");
        int pipe_fds[2] = {-1, -1};
        ASSERT_EQ(pipe(pipe_fds), 0);
        const std::string out = work / "out";
        const outcome r = run_argv({XORFILE_BIN, "in", c.output}, [&](auto *actions) {
            if (c.standard_output == to::output_appended)
                posix_spawn_file_actions_addopen(actions, 1, out.c_str(), O_WRONLY | O_APPEND, 0);
            else if (c.standard_output == to::pipe)
                posix_spawn_file_actions_adddup2(actions, pipe_fds[1], 1);
            else if (c.standard_output == to::null)
                posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
        });
        close(pipe_fds[1]);
        std::string piped(4096, '\0');
        const ssize_t count = read(pipe_fds[0], piped.data(), piped.size());
        piped.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
        close(pipe_fds[0]);

        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.expected_err);
        const std::string holds = c.standard_output == to::capture           ? r.out
                                  : c.standard_output == to::pipe            ? piped
                                  : c.standard_output == to::output_appended ? read_file(out)
                                                                             : "";
        EXPECT_TRUE(holds == c.stdout_holds)
            << "standard output went to a file now holding " << holds.size() << " bytes";
        EXPECT_TRUE(read_file(work / "in") == input) << "the input changed";
    }
}

// System calls on one file made to fail or wait, to reach what no ordinary
// file system does on demand: a path swapped during the open of the output,
// identities that cannot be taken, an output that cannot be emptied or closed.
TEST_F(Run, FaultsInjectedIntoTheRunLeaveTheInputWholeAndAreReported)
{
#ifdef XORFILE_EMULATED
    GTEST_SKIP() << "the program runs under an emulator, whose system calls a tracer would see";
#endif
    if (!fs::exists(TRACER))
        GTEST_SKIP() << TRACER << " is not installed";
    if (const outcome probe = run_argv({TRACER, "-o", "/dev/null", "/bin/true"}, {}, TRACER);
        probe.status != 0)
        GTEST_SKIP() << "cannot trace a process here: " << probe.err;
    const std::string in = (work / "in").string();
    const std::string not_written = "Failed to write data to output file\n";
    // clang-format off
    const struct {
        const char *name;
        std::string output;
        std::string path;  // the file whose calls are tampered with
        std::string calls;
        std::string fault;
        std::string expected_err;
        bool swap = false; // replace the output by a link to the input mid-open
        int closed = -1;   // a standard descriptor the program starts without
    } cases[] = {
        {"output swapped for a link to the input during its open",
         "out", "out", "openat", "delay_enter=1000000", SAME_FILE, true},
        // The first status call is the directory check; the next two take
        // the identities of the input and of the output.
        {"identity of the input cannot be taken",
         "in", in, "%%stat", "error=EIO:when=2", OUTPUT_UNUSABLE},
        {"identity of the output, naming the input, cannot be taken",
         "in", in, "%%stat", "error=EIO:when=3", OUTPUT_UNUSABLE},
        {"input named twice cannot be opened for writing",
         "in", "in", "openat", "error=EACCES:when=2", SAME_FILE},
        {"identity of standard output cannot be taken",
         "out", (root / "stdout").string(), "%%stat", "error=EIO", OUTPUT_UNUSABLE},
        {"output's stream cannot be made", "out", "out", "?fcntl,?fcntl64", "error=EIO", OUTPUT_UNUSABLE},
        {"output cannot be emptied", "out", "out", "?ftruncate,?ftruncate64", "error=EIO", OUTPUT_UNUSABLE},
        {"output cannot be closed", "out", "out", "close", "error=EIO", not_written},
        {"nothing to fill a closed standard input with", "out", "/dev/null", "openat", "error=EACCES",
         "Failed to open /dev/null!\n", false, 0},
    };
    // clang-format on
    const std::string log = root / "trace";
    const auto swap_once_opening = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (read_file(log).find("\"out\"") == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the program never opened its output";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        fs::create_hard_link(work / "in", work / "link");
        fs::rename(work / "link", work / "out");
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(work);
        fs::create_directory(work);
        const std::string input = random_bytes(1000);
        write_file(work / "in", input);
        write_file(work / "out", "old");

        // The leak checker cannot run under a tracer; untraced runs make it.
        const outcome r =
            run_argv({TRACER, "--quiet=all", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", log, "-P",
                      c.path, "-e", "trace=" + c.calls, "-e", "inject=" + c.calls + ":" + c.fault,
                      XORFILE_BIN, "in", c.output},
                     close_descriptors(c.closed >= 0 ? 1U << c.closed : 0), TRACER,
                     c.swap ? swap_once_opening : std::function<void()>());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.expected_err);
        EXPECT_TRUE(read_file(work / "in") == input) << "the input changed";
    }
}

TEST_F(Run, WritesTheTransformedInputAndReportsItsLength)
{
    // clang-format off
    const struct {
        std::size_t size;
        std::optional<std::string> existing_output;
        mode_t umask = 022; // a created output's mode is what it leaves of 0666
    } cases[] = {
        {0, {}}, {1, {}}, {10, {}}, {bound, {}}, {10, random_bytes(5000, 7)}, {10, {}, 077},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes, umask " << std::oct << c.umask);
        fs::remove(work / "out");
        if (c.existing_output)
            write_file(work / "out", *c.existing_output);
        const std::string input = random_bytes(c.size, 3);
        write_file(work / "in", input);

        const mode_t saved = umask(c.umask);
        const outcome r = run("in", "out");
        umask(saved);
        if (!c.existing_output) {
            struct stat info = {};
            ASSERT_EQ(stat((work / "out").c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0666 & ~c.umask);
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, wrote(c.size, "out"));
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(output_file() == reference_xor(input)) << "wrong output bytes";
    }
}

TEST_F(Run, RunningAgainOnTheOutputRestoresTheInput)
{
    for (std::size_t size : {std::size_t{9}, std::size_t{12345}, bound}) {
        const std::string input = random_bytes(size, 11);
        write_file(work / "plain", input);
        ASSERT_EQ(run("plain", "secret").status, 0);
        const outcome r = run("secret", "restored");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, wrote(size, "restored"));
        EXPECT_TRUE(output_file("restored") == input) << size << " bytes not restored";
    }
}

} // namespace
