// Helpers for running the built programs as processes and looking at what they leave behind.
#ifndef PARSE_BIN_TESTS_HARNESS_H
#define PARSE_BIN_TESTS_HARNESS_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace harness {

namespace fs = std::filesystem;

// What one run of a program did.
struct Result {
  int status = -1; // exit status; 128 + signal number when a signal ended it
  std::string out; // standard output, byte for byte
  std::string err; // standard error, byte for byte
  bool operator==(const Result &other) const {
    return status == other.status && out == other.out && err == other.err;
  }
};
void PrintTo(const Result &result, std::ostream *os);

// The programs under test.
std::string tool(); // parse_bin
std::string
split_driver(); // runs InitSplitFile_info, create_header_file, remove_header_info_from_file
std::string merge_driver(); // calls merge with any input count

// Runs `program` with `args` (argv[1] onwards) in directory `cwd`, standard input empty.
Result run(const std::string &program, const std::vector<std::string> &args, const fs::path &cwd);

#ifndef _WIN32
// Starts `program` with `args` in `cwd`, standard input empty and the other two streams
// going to the named files. A `file_size_limit` other than 0 caps every file the program
// writes, so that it meets a full disk there.
pid_t start(const std::string &program, const std::vector<std::string> &args, const fs::path &cwd,
            std::uint64_t file_size_limit = 0, const fs::path &out_path = "/dev/null",
            const fs::path &err_path = "/dev/null");

struct Finished {
  int status;        // as in Result
  long peak_rss_kib; // the program's peak resident memory
};
// Waits for a program that `start` started.
Finished finish(pid_t pid);
#endif

#ifdef _WIN32
// Runs `program` with a command line tail exactly as typed, so that the start-up code
// sees quotes and wildcards as a console user would type them.
Result run_command_line(const std::string &program, const std::string &tail, const fs::path &cwd);
#endif

// Standard output text as the console stream delivers it: on Windows, text mode turns each
// line feed into a carriage return and a line feed.
std::string console(const std::string &text);

// The expected report lines of a run of the tool.
std::string begin_line();
std::string summary_line(const std::string &first, const std::string &second,
                         const std::string &output);
std::string progress_line(int index, const std::string &name);
std::string end_line();
// Everything a run that appends both inputs writes to standard output.
std::string complete_run(const std::string &first, const std::string &second,
                         const std::string &output);

// Files: name relative to a directory -> content. Directories show as "<dir>", FIFOs as
// "<fifo>", symbolic links as "-> target".
using Files = std::map<std::string, std::string>;

// Whether `dir` holds exactly `expected`; on a mismatch, says which file differs and where,
// without printing whole binary contents.
::testing::AssertionResult holds(const fs::path &dir, const Files &expected);

std::string read_file(const fs::path &path);
void write_file(const fs::path &path, const std::string &content);
void make_files(const fs::path &dir, const Files &files);
Files list_files(const fs::path &dir);

// Deterministic pseudo-random bytes.
std::string random_bytes(std::size_t size, std::uint32_t seed);
// All 256 byte values, 0x00 and 0x0D 0x0A and 0x1A among them.
std::string every_byte();

// A fresh, empty working directory for each test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  fs::path dir;
};

} // namespace harness

#endif
