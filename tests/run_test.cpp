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
#include <string_view>
#include <thread>
#include <vector>

#include "reference.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t bound = 4194304;

// A child that cannot execute the program exits with status 127.
constexpr const char *CANNOT_START = "the program cannot be executed; one built for another "
                                     "architecture needs qemu registered with binfmt_misc "
                                     "(.ci/binfmt does that)";

constexpr const char *INPUT_UNUSABLE = "Failed to open input file!\n";
constexpr const char *SAME_FILE = "Input and output are the same file!\n";
constexpr const char *OUTPUT_UNUSABLE = "Failed to open output file!\n";
constexpr const char *TOO_LARGE = "Input file was larger than 4MiB!";

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

// The ELF header's class, byte order and machine: equal for programs that
// run on the same processor.
std::string machine_of(const char *program)
{
    std::string header(20, '\0');
    std::ifstream(program, std::ios::binary).read(header.data(), 20);
    return header.substr(4, 2) + header.substr(18, 2);
}

// Whether the program is built for another processor than this machine's
// own programs, and so runs under an emulator.  The emulator makes system
// calls of its own, and holds the program's file open on the lowest free
// descriptor, which may be one the program was started without.
bool runs_emulated()
{
    return machine_of(XORFILE_BIN) != machine_of("/bin/sh");
}

// This process's environment without preloaded libraries.  A builder may
// preload one into the tests (faketime, as reproducibility checks do); in
// the program it opens files on closed standard descriptors, and in a tracer
// it breaks the timers.
std::vector<char *> plain_environment()
{
    std::vector<char *> env;
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (std::string_view(*entry).rfind("LD_PRELOAD=", 0) != 0)
            env.push_back(*entry);
    env.push_back(nullptr);
    return env;
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
    std::uint64_t in_size = 0;
    std::string in_bytes; // what "in" holds, when within the bound

    void SetUp() override
    {
        std::string name = fs::temp_directory_path() / "xorfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root = name;
        work = root / "work";
        fs::create_directory(work);
    }

    void TearDown() override { fs::remove_all(root); }

    // Runs `program` in `work` with exactly this argument vector, as a user
    // runs it; standard output and error go to files, so nothing can block,
    // unless `redirect` sends them elsewhere.  while_running is called once the process has
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
        // Only what the test gives it: a test runner may leave descriptors open.
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        pid_t pid = 0;
        std::vector<char *> env = plain_environment();
        const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), env.data());
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

    outcome run(const std::string &input_path, const std::string &output_path)
    {
        return run_argv({XORFILE_BIN, input_path, output_path});
    }

    // Makes "in": `size` random bytes, or past the bound a sparse file,
    // whose size costs no disk space.
    void make_input(std::uint64_t size)
    {
        in_size = size;
        in_bytes = size <= bound ? random_bytes(static_cast<std::size_t>(size)) : "";
        write_file(work / "in", in_bytes);
        if (size > bound) {
            ASSERT_EQ(truncate((work / "in").c_str(), static_cast<off_t>(size)), 0);
        }
    }

    // Whether "in" is as make_input left it; past the bound, as long.
    bool input_intact() const
    {
        if (in_size > bound)
            return fs::file_size(work / "in") == in_size;
        return read_file(work / "in") == in_bytes;
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
        {"missing input", "in", {}, {}, "out", INPUT_UNUSABLE, {}},
        {"directory as input", ".", {}, {}, "out", INPUT_UNUSABLE, {}},
        {"directory as input keeps the output", ".", {}, "keep", "out", INPUT_UNUSABLE, "keep"},
        {"missing input keeps the output", "in", {}, "keep", "out", INPUT_UNUSABLE, "keep"},
        {"output directory missing", "in", 10, {}, "nodir/out", OUTPUT_UNUSABLE, {}},
        {"output is a directory", "in", 10, {}, ".", OUTPUT_UNUSABLE, {}},
        {"one byte over the bound", "in", bound + 1, "old", "out", TOO_LARGE, ""},
        {"3 GiB", "in", 3ULL << 30, "old", "out", TOO_LARGE, ""},
        {"5 past 4 GiB, in 32 bits 5", "in", (1ULL << 32) + 5, "old", "out", TOO_LARGE, ""},
        {"full disk, small write", "in", 10, {}, "/dev/full", "Failed to write data to output file\n", {}},
        {"full disk, large write", "in", 1 << 20, {}, "/dev/full", "Failed to write data to output file\n", {}},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(work);
        fs::create_directory(work);
        if (c.input_size)
            make_input(*c.input_size);
        if (c.existing_output)
            write_file(work / "out", *c.existing_output);

        const outcome r = run(c.input_path, c.output_path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.expected_err);
        EXPECT_EQ(output_file(), c.expected_output);
        if (c.input_size) {
            EXPECT_TRUE(input_intact()) << "the input changed";
        }
    }
}

TEST_F(Run, RefusesAnInputThatCannotBePositioned)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(write(pipe_fds[1], "data", 4), 4);
    close(pipe_fds[1]);
    // Found only once the output has been emptied.
    write_file(work / "out", "keep");
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
// files it opens must not take their place and receive its messages, and a
// name of a closed one names no file.
TEST_F(Run, OnlyDataReachesTheFilesWhateverStandardDescriptorsAreClosed)
{
    const std::string attribute = "/sys/kernel/mm/transparent_hugepage/enabled";
    // clang-format off
    const struct {
        const char *name;
        std::string input;
        std::uint64_t input_size; // of "in"
        std::string output;
        std::string expected_err;
        std::optional<std::string> out_holds; // "keep" before; none: the data
        int status;
        unsigned closed = 0; // runs only with these closed, bit 0 for standard input
        int open_files = 0;  // the descriptors it may have, when set
    } cases[] = {
        {"same file", "in", 1000, "in", SAME_FILE, "keep", 1},
        {"input over the bound", "in", bound + 1, "out", TOO_LARGE, "", 1},
        {"short read", attribute, 0, "out", "Failed to read data from input file\n", "", 1},
        {"complete run", "in", 1000, "out", "", {}, 0},
        {"/dev/stdin", "/dev/stdin", 1000, "out", INPUT_UNUSABLE, "keep", 1, 1},
        {"/dev/fd/0", "/dev/fd/0", 1000, "out", INPUT_UNUSABLE, "keep", 1, 1},
        {"/proc/self/fd/0", "/proc/self/fd/0", 1000, "out", INPUT_UNUSABLE, "keep", 1, 1},
        {"/dev/stdout", "in", 1000, "/dev/stdout", OUTPUT_UNUSABLE, "keep", 1, 2},
        {"/dev/fd/1", "in", 1000, "/dev/fd/1", OUTPUT_UNUSABLE, "keep", 1, 2},
        {"/proc/self/fd/1", "in", 1000, "/proc/self/fd/1", OUTPUT_UNUSABLE, "keep", 1, 2},
        {"no descriptor left for a new output", "in", 1000, "new", OUTPUT_UNUSABLE, "keep", 1, 0, 4},
    };
    // clang-format on
    for (const auto &c : cases) {
        if (c.input == attribute && !fs::exists(attribute)) {
            std::printf("%s: %s is not available\n", c.name, attribute.c_str());
            continue;
        }
        if ((c.closed != 0 || c.open_files != 0) && runs_emulated()) {
            std::printf("%s: the emulator holds descriptors open\n", c.name);
            continue;
        }
        for (unsigned closed = 0; closed < 8; ++closed) {
            if ((closed & c.closed) != c.closed)
                continue;
            SCOPED_TRACE(testing::Message() << c.name << ", closed mask " << closed);
            fs::remove_all(work);
            fs::create_directory(work);
            make_input(c.input_size);
            write_file(work / "out", "keep");

            std::vector<std::string> args{XORFILE_BIN, c.input, c.output};
            if (c.open_files != 0)
                args.insert(args.begin(), {"/bin/sh", "-c",
                                           "ulimit -n " + std::to_string(c.open_files) +
                                               " && exec \"$0\" \"$@\""});
            const outcome r = run_argv(args, close_descriptors(closed), args[0].c_str());
            EXPECT_EQ(r.status, c.status);
            if ((closed & 2U) == 0) {
                EXPECT_EQ(r.out, c.status == 0 ? wrote(in_bytes.size(), c.output) : "");
            }
            if ((closed & 4U) == 0) {
                EXPECT_EQ(r.err, c.expected_err);
            }
            EXPECT_TRUE(input_intact()) << "the input changed";
            EXPECT_TRUE(output_file() == c.out_holds.value_or(reference_xor(in_bytes)))
                << "the output holds more than the data";
            EXPECT_EQ(std::distance(fs::directory_iterator(work), {}), 2) << "a file was created";
        }
    }
}

// Messages written to INPUT or OUTPUT would land on or among the data: a run
// whose standard output goes to either is refused, and standard error sent
// to either receives nothing.  A character device stores nothing and is let
// through.
TEST_F(Run, NoMessageLandsInTheInputOrTheOutputWhereverTheStreamsPoint)
{
    // clang-format off
    // with_output: where standard output goes, as 2>&1 sends it
    enum class to { capture, in_appended, in_read_write, out_appended, pipe, null, full, with_output };
    const struct {
        const char *name;
        std::uint64_t input_size;
        std::string output;
        to out_to; // where standard output goes
        to err_to; // where standard error goes
        int status;
        std::string expected_err; // on the captured standard error
        std::optional<std::string> out_holds; // "old" before; none: the data
    } cases[] = {
        {"standard output, a file", 1000, "/dev/stdout", to::capture, to::capture, 1, OUTPUT_UNUSABLE, "old"},
        {"standard error, a file", 1000, "/dev/stderr", to::capture, to::capture, 1, "", "old"},
        {"standard output appended to the output", 1000, "out", to::out_appended, to::capture, 1, OUTPUT_UNUSABLE, "old"},
        {"standard output, a pipe", 1000, "/dev/stdout", to::pipe, to::capture, 1, OUTPUT_UNUSABLE, "old"},
        {"/dev/null, as standard output is", 1000, "/dev/null", to::null, to::capture, 0, "", "old"},
        // The status reports the output alone.
        {"standard output on a full device", 1000, "out", to::full, to::capture, 0, "", {}},
        {"standard output appended to the input", 1000, "out", to::in_appended, to::capture, 1, SAME_FILE, "old"},
        {"standard output over the input", 1000, "out", to::in_read_write, to::capture, 1, SAME_FILE, "old"},
        {"standard error appended to the input, same file", 1000, "in", to::capture, to::in_appended, 1, "", "old"},
        {"standard error appended to the input, no output", 1000, "nodir/out", to::capture, to::in_appended, 1, "", "old"},
        {"standard error appended to the input, too large", bound + 1, "out", to::capture, to::in_appended, 1, "", ""},
        {"standard error appended to the input, complete run", 1000, "out", to::capture, to::in_appended, 0, "", {}},
        {"standard error appended to the output", 1000, "out", to::capture, to::out_appended, 1, "", "old"},
        {"both appended to the input", 1000, "out", to::in_appended, to::with_output, 1, "", "old"},
        {"both appended to the output", 1000, "out", to::out_appended, to::with_output, 1, "", "old"},
        {"both to a file, named as the output", 1000, "/dev/stdout", to::capture, to::with_output, 1, "", "old"},
        {"standard output appended to the input, error to the output", 1000, "out", to::in_appended, to::out_appended, 1, "", "old"},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        make_input(c.input_size);
        write_file(work / "out", "old");
        int pipe_fds[2] = {-1, -1};
        ASSERT_EQ(pipe(pipe_fds), 0);
        const std::string in = work / "in";
        const std::string out = work / "out";
        const auto send = [&](posix_spawn_file_actions_t *actions, int fd, to target) {
            if (target == to::in_appended)
                posix_spawn_file_actions_addopen(actions, fd, in.c_str(), O_WRONLY | O_APPEND, 0);
            else if (target == to::in_read_write)
                posix_spawn_file_actions_addopen(actions, fd, in.c_str(), O_RDWR, 0);
            else if (target == to::out_appended)
                posix_spawn_file_actions_addopen(actions, fd, out.c_str(), O_WRONLY | O_APPEND, 0);
            else if (target == to::pipe)
                posix_spawn_file_actions_adddup2(actions, pipe_fds[1], fd);
            else if (target == to::null)
                posix_spawn_file_actions_addopen(actions, fd, "/dev/null", O_WRONLY, 0);
            else if (target == to::full)
                posix_spawn_file_actions_addopen(actions, fd, "/dev/full", O_WRONLY, 0);
            else if (target == to::with_output)
                posix_spawn_file_actions_adddup2(actions, STDOUT_FILENO, fd);
        };
        const outcome r = run_argv({XORFILE_BIN, "in", c.output}, [&](auto *actions) {
            send(actions, STDOUT_FILENO, c.out_to);
            send(actions, STDERR_FILENO, c.err_to);
        });
        close(pipe_fds[1]);
        std::string piped(4096, '\0');
        const ssize_t count = read(pipe_fds[0], piped.data(), piped.size());
        piped.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
        close(pipe_fds[0]);

        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out,
                  c.status == 0 && c.out_to == to::capture ? wrote(in_bytes.size(), c.output) : "");
        EXPECT_EQ(r.err, c.expected_err);
        EXPECT_EQ(piped, "");
        EXPECT_TRUE(input_intact()) << "the input changed";
        EXPECT_TRUE(output_file() == c.out_holds.value_or(reference_xor(in_bytes)))
            << "the output holds more than the data";
    }
}

// System calls on one file made to fail or wait, to reach what no ordinary
// file system does on demand: a name swapped for another file while the
// program runs, identities that cannot be taken, an output that cannot be
// emptied or closed.
TEST_F(Run, FaultsInjectedIntoTheRunLeaveTheInputWholeAndAreReported)
{
    if (runs_emulated())
        GTEST_SKIP() << "the program runs under an emulator, whose system calls a tracer would see";
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
        const char *swap_for = nullptr;   // a file whose link replaces path mid-call
        int closed = -1;                  // a standard descriptor the program starts without
        const char *streams_to = nullptr; // a file standard output and error append to
    } cases[] = {
        {"output swapped for a link to the input during its open",
         "out", "out", "openat", "delay_enter=1000000", SAME_FILE, "in"},
        // Once open, the output's name must not stand for the file opened.
        {"output, a link to the input, replaced by another file once opened",
         "hard", "hard", "?fcntl,?fcntl64", "delay_enter=1000000", SAME_FILE, "copy"},
        {"input swapped during its open for the file that both streams go to",
         "out", "in", "openat", "delay_enter=1000000", "", "copy", -1, "copy"},
        {"output swapped during its open for the file that both streams go to",
         "out", "out", "openat", "delay_enter=1000000", "", "copy", -1, "copy"},
        {"input cannot be opened, both streams appended to it",
         "out", "in", "openat", "error=EACCES:when=1", "", nullptr, -1, "in"},
        {"input cannot be opened, both streams appended to the output",
         "out", "in", "openat", "error=ENOENT:when=1", "", nullptr, -1, "out"},
        // The first status call takes the identity of the input, the second
        // that of the output.
        {"identity of the input cannot be taken",
         "in", in, "%%stat", "error=EIO:when=1", INPUT_UNUSABLE},
        {"identity of the output, naming the input, cannot be taken",
         "in", in, "%%stat", "error=EIO:when=2", OUTPUT_UNUSABLE},
        {"input named twice cannot be opened for writing",
         "in", "in", "openat", "error=EACCES:when=2", SAME_FILE},
        // Standard output is compared with the input, then with the output.
        {"identity of standard output, to compare with the input, cannot be taken",
         "out", (root / "stdout").string(), "%%stat", "error=EIO:when=1", SAME_FILE},
        {"identity of standard output, to compare with the output, cannot be taken",
         "out", (root / "stdout").string(), "%%stat", "error=EIO:when=2", OUTPUT_UNUSABLE},
        {"output's stream cannot be made", "out", "out", "?fcntl,?fcntl64", "error=EIO", OUTPUT_UNUSABLE},
        {"output cannot be emptied", "out", "out", "?ftruncate,?ftruncate64", "error=EIO", OUTPUT_UNUSABLE},
        {"output cannot be closed", "out", "out", "close", "error=EIO", not_written},
        {"output cannot be moved off a closed standard output", "out", "out", "?fcntl,?fcntl64",
         "error=EMFILE:when=1", OUTPUT_UNUSABLE, nullptr, 1},
        {"output cannot be moved off a closed standard input", "out", "out", "?fcntl,?fcntl64",
         "error=EMFILE:when=1", OUTPUT_UNUSABLE, nullptr, 0},
    };
    // clang-format on
    const std::string log = root / "trace";
    // The log shows the tampered call as soon as it starts.
    const auto swap_once_called = [&](const std::string &path, const char *swap_for) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (read_file(log).empty()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the program never made the call";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        fs::create_hard_link(work / swap_for, work / "link");
        fs::rename(work / "link", work / path);
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(work);
        fs::create_directory(work);
        fs::remove(log);
        const std::string input = random_bytes(1000);
        write_file(work / "in", input);
        write_file(work / "out", "old");
        write_file(work / "copy", input);
        fs::create_hard_link(work / "in", work / "hard");
        const std::string streams = c.streams_to != nullptr ? (work / c.streams_to).string() : "";
        const std::string streams_held = c.streams_to != nullptr ? read_file(streams) : "";
        const file_actions redirect = [&](posix_spawn_file_actions_t *actions) {
            if (c.closed >= 0)
                posix_spawn_file_actions_addclose(actions, c.closed);
            if (c.streams_to != nullptr) {
                posix_spawn_file_actions_addopen(actions, 1, streams.c_str(), O_WRONLY | O_APPEND,
                                                 0);
                posix_spawn_file_actions_adddup2(actions, 1, 2);
            }
        };

        // The leak checker cannot run under a tracer; untraced runs make it.
        const outcome r =
            run_argv({TRACER, "--quiet=all", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", log, "-P",
                      c.path, "-e", "trace=" + c.calls, "-e", "inject=" + c.calls + ":" + c.fault,
                      XORFILE_BIN, "in", c.output},
                     redirect, TRACER, [&] {
                         if (c.swap_for != nullptr)
                             swap_once_called(c.path, c.swap_for);
                     });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.expected_err);
        EXPECT_TRUE(read_file(work / "in") == input) << "the input changed";
        if (c.streams_to != nullptr) {
            EXPECT_TRUE(read_file(streams) == streams_held)
                << "a message landed in " << c.streams_to;
        }
    }
}

TEST_F(Run, WritesTheTransformedInputAndReportsItsLength)
{
    // clang-format off
    const struct {
        std::size_t size;
        std::optional<std::string> existing_output; // of mode 0640, which it keeps
        mode_t umask = 022;
        mode_t input_mode = 0644; // its permission bits are a created output's, less the umask
    } cases[] = {
        {0, {}}, {1, {}}, {10, {}}, {bound, {}}, {10, random_bytes(5000, 7), 022, 0600},
        {10, {}, 022, 0600}, {10, {}, 022, 0640}, {10, {}, 022, 0755}, {10, {}, 077, 0644},
        {10, {}, 0, 0600}, {10, {}, 022, 04755},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes, umask " << std::oct << c.umask
                                        << ", input mode " << c.input_mode);
        fs::remove(work / "out");
        if (c.existing_output) {
            write_file(work / "out", *c.existing_output);
            ASSERT_EQ(chmod((work / "out").c_str(), 0640), 0);
        }
        const std::string input = random_bytes(c.size, 3);
        write_file(work / "in", input);
        ASSERT_EQ(chmod((work / "in").c_str(), c.input_mode), 0);

        const mode_t saved = umask(c.umask);
        const outcome r = run("in", "out");
        umask(saved);
        struct stat info = {};
        ASSERT_EQ(stat((work / "out").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.existing_output ? 0640 : c.input_mode & 0777 & ~c.umask);
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
