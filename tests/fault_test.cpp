// Nothing is lost, whatever happens to a run: after any run, every byte of every input (or
// split source) is still in that file, unchanged, or already in the output (or the header
// and body files) at its place; and a run that exits 0 has put every byte in place.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace harness;
using Clock = std::chrono::steady_clock;

// An input as it was before the run.
struct Input {
  std::string name;
  std::string content;
};

// The invariant for an append of `inputs`, in order, to `output`.
::testing::AssertionResult nothing_lost(const fs::path &dir, const std::vector<Input> &inputs,
                                        const std::string &output, int status) {
  std::error_code error;
  const std::string out = fs::is_regular_file(dir / output, error) ? read_file(dir / output) : "";
  std::size_t at = 0;
  for (const Input &input : inputs) {
    const bool kept = fs::exists(dir / input.name, error);
    if (kept && read_file(dir / input.name) != input.content) {
      return ::testing::AssertionFailure() << input.name << " was changed";
    }
    // Deleted, or reported done: its bytes must be in the output.
    if ((!kept || status == 0) && out.compare(at, input.content.size(), input.content) != 0) {
      return ::testing::AssertionFailure()
             << input.name << (kept ? " is" : " was deleted but its bytes are") << " not in "
             << output << " at " << at;
    }
    at += input.content.size();
  }
  if (status == 0 && out.size() != at) {
    return ::testing::AssertionFailure()
           << "exit 0 with " << out.size() << " bytes in " << output << " instead of " << at;
  }
  return ::testing::AssertionSuccess();
}

// The invariant for a split of `source` whose header is `header_size` bytes long.
::testing::AssertionResult nothing_lost_in_split(const fs::path &dir, const std::string &source,
                                                 std::size_t header_size, int status) {
  if (fs::exists(dir / "src.bin")) {
    if (read_file(dir / "src.bin") != source) {
      return ::testing::AssertionFailure() << "the source was changed";
    }
    if (status == 0) {
      return ::testing::AssertionFailure() << "exit 0 with the source still there";
    }
    return ::testing::AssertionSuccess();
  }
  if (!fs::exists(dir / "h.bin") || read_file(dir / "h.bin") != source.substr(0, header_size)) {
    return ::testing::AssertionFailure() << "source deleted without its header in h.bin";
  }
  if (!fs::exists(dir / "b.bin") || read_file(dir / "b.bin") != source.substr(header_size)) {
    return ::testing::AssertionFailure() << "source deleted without its body in b.bin";
  }
  return ::testing::AssertionSuccess();
}

// Runs one interruption trial: starts the program, kills it after `delay`, returns its status.
int kill_after(const std::string &program, const std::vector<std::string> &args,
               const fs::path &dir, std::chrono::microseconds delay) {
  const pid_t pid = start(program, args, dir);
  usleep(static_cast<useconds_t>(delay.count()));
  kill(pid, SIGKILL);
  return finish(pid).status;
}

constexpr int trials = 40;

// Times one whole run on freshly laid-out files, then kills `trials` runs, each on fresh
// files, at seeded random moments up to a little past that time, and checks `intact(status)`
// after each. Returns how many runs the kill ended (the others had finished).
template <typename LayOut, typename Intact>
int interrupt(const std::string &program, const std::vector<std::string> &args, const fs::path &dir,
              std::uint32_t seed, LayOut lay_out, Intact intact) {
  lay_out();
  const auto begin = Clock::now();
  EXPECT_EQ(finish(start(program, args, dir)).status, 0);
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin);

  std::mt19937 random(seed);
  int killed = 0;
  for (int trial = 0; trial < trials; ++trial) {
    lay_out();
    const auto delay = std::chrono::microseconds(random() % (whole.count() * 6 / 5 + 1));
    const int status = kill_after(program, args, dir, delay);
    killed += status == 128 + SIGKILL ? 1 : 0;
    EXPECT_TRUE(intact(status)) << "trial " << trial << ", killed after " << delay.count()
                                << " us of a " << whole.count() << " us run";
  }
  EXPECT_GT(killed, 0);
  return killed;
}

class Interrupted : public TempDirTest {};

TEST_F(Interrupted, AppendKilledAtRandomMomentsLosesNothing) {
  const std::vector<Input> inputs{{"a.bin", random_bytes(std::size_t{24} << 20U, 31)},
                                  {"b.bin", random_bytes(std::size_t{8} << 20U, 32)}};
  auto lay_out = [&] {
    fs::remove(dir / "out.bin");
    for (const Input &input : inputs) {
      write_file(dir / input.name, input.content);
    }
  };
  int first_taken = 0;
  auto intact = [&](int status) {
    first_taken += fs::exists(dir / "a.bin") ? 0 : 1;
    return nothing_lost(dir, inputs, "out.bin", status);
  };
  const int killed = interrupt(tool(), {"a.bin", "b.bin", "out.bin"}, dir, 6, lay_out, intact);
  std::cout << "append: " << trials << " trials, " << killed << " killed, first input already "
            << "taken in " << first_taken << "\n";
}

TEST_F(Interrupted, SplitKilledAtRandomMomentsLosesNothing) {
  const std::uint32_t header = (std::uint32_t{6} << 20U) + 13;
  std::string source = random_bytes(std::size_t{30} << 20U, 33);
  for (int i = 0; i < 4; ++i) {
    source[16 + i] = static_cast<char>((header >> (8 * i)) & 0xFFU);
  }
  auto lay_out = [&] {
    fs::remove(dir / "h.bin");
    fs::remove(dir / "b.bin");
    write_file(dir / "src.bin", source);
  };
  int source_taken = 0;
  auto intact = [&](int status) {
    source_taken += fs::exists(dir / "src.bin") ? 0 : 1;
    return nothing_lost_in_split(dir, source, header, status);
  };
  const int killed =
      interrupt(split_driver(), {"16", "src.bin", "h.bin", "b.bin"}, dir, 7, lay_out, intact);
  std::cout << "split: " << trials << " trials, " << killed << " killed, source already taken in "
            << source_taken << "\n";
}

// A full disk, as the tool sees it: no file may grow past the limit.
struct FullCase {
  const char *name;
  std::uint64_t limit;
  std::size_t first_size;
  std::size_t second_size;
  bool first_taken; // the first input fitted, so it is in the output and gone
};

// clang-format off
const FullCase full_cases[] = {
  {"full_within_first",  1U << 20U, 3U << 20U, 1U << 20U, false},
  {"full_within_second", 4U << 20U, 3U << 20U, 5U << 20U, true},
  {"full_at_once",       1,         1U << 20U, 10,        false},
};
// clang-format on

class FullDisk : public TempDirTest, public ::testing::WithParamInterface<FullCase> {};

TEST_P(FullDisk, AppendStopsAndKeepsTheInput) {
  const FullCase &c = GetParam();
  const std::vector<Input> inputs{{"a.bin", random_bytes(c.first_size, 41)},
                                  {"b.bin", random_bytes(c.second_size, 42)}};
  for (const Input &input : inputs) {
    write_file(dir / input.name, input.content);
  }
  const int status = finish(start(tool(), {"a.bin", "b.bin", "out.bin"}, dir, c.limit)).status;
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(nothing_lost(dir, inputs, "out.bin", status));
  EXPECT_EQ(fs::exists(dir / "a.bin"), !c.first_taken);
  EXPECT_TRUE(fs::exists(dir / "b.bin"));
}

TEST_P(FullDisk, SplitStopsAndKeepsTheSource) {
  const FullCase &c = GetParam();
  // The header is the first input's size, the body the second's.
  std::string source = random_bytes(c.first_size + c.second_size, 43);
  for (int i = 0; i < 4; ++i) {
    source[i] = static_cast<char>((c.first_size >> (8 * i)) & 0xFFU);
  }
  write_file(dir / "src.bin", source);
  const int status =
      finish(start(split_driver(), {"0", "src.bin", "h.bin", "b.bin"}, dir, c.limit)).status;
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(nothing_lost_in_split(dir, source, c.first_size, status));
  EXPECT_TRUE(fs::exists(dir / "src.bin"));
}

INSTANTIATE_TEST_SUITE_P(Cases, FullDisk, ::testing::ValuesIn(full_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Bad names and files: whatever the tool makes of them, nothing is lost. The exact messages
// for most of these are checked with the rest of the tool's behaviour.
struct BadCase {
  const char *name;
  Files before;
  std::vector<std::string> args;
  std::vector<std::string> inputs; // the distinct input files whose bytes must survive
  int status;
};

const std::string too_long(300, 'n');

// clang-format off
const BadCase bad_cases[] = {
  // name                     before                                                   args                                   inputs              status
  {"spaces_in_names",         {{"a b", "1"}, {"c d", "2"}},                            {"a b", "c d", "o p"},                 {"a b", "c d"},     0},
  {"non_ascii_names",         {{"\xc3\xa9", "1"}, {"\xe2\x82\xac", "2"}},              {"\xc3\xa9", "\xe2\x82\xac", "\xff"},  {"\xc3\xa9", "\xe2\x82\xac"}, 0},
  {"leading_dash_names",      {{"-a", "1"}, {"--b", "2"}},                             {"-a", "--b", "-o"},                   {"-a", "--b"},      0},
  {"input_name_too_long",     {{"b.bin", "2"}},                                        {too_long, "b.bin", "out.bin"},        {"b.bin"},          1},
  {"output_name_too_long",    {{"a.bin", "1"}, {"b.bin", "2"}},                        {"a.bin", "b.bin", too_long},          {"a.bin", "b.bin"}, 1},
  {"dangling_link_output",    {{"a.bin", "1"}, {"b.bin", "2"}, {"o", "-> gone/x"}},    {"a.bin", "b.bin", "o"},               {"a.bin", "b.bin"}, 1},
  {"output_dir_missing",      {{"a.bin", "1"}, {"b.bin", "2"}},                        {"a.bin", "b.bin", "gone/o"},          {"a.bin", "b.bin"}, 1},
  {"input_is_directory",      {{"d", "<dir>"}, {"b.bin", "2"}},                        {"d", "b.bin", "out.bin"},             {"b.bin"},          1},
  {"input_is_proc_file",      {{"b.bin", "2"}},                                        {"/proc/version", "b.bin", "o"},       {"/proc/version", "b.bin"}, 0},
  {"output_is_dev_full",      {{"a.bin", "1"}, {"b.bin", "2"}},                        {"a.bin", "b.bin", "/dev/full"},       {"a.bin", "b.bin"}, 1},
  {"inputs_name_one_file",    {{"a.bin", "1"}},                                        {"a.bin", "./a.bin", "out.bin"},       {"a.bin"},          1},
  {"output_links_to_input",   {{"a.bin", "1"}, {"b.bin", "2"}, {"o", "-> b.bin"}},     {"a.bin", "b.bin", "o"},               {"a.bin", "b.bin"}, 1},
  {"output_is_input_dir",     {{"a.bin", "1"}, {"b.bin", "2"}},                        {"a.bin", "b.bin", "."},               {"a.bin", "b.bin"}, 1},
};
// clang-format on

void PrintTo(const BadCase &c, std::ostream *os) {
  *os << c.name;
}

class BadInput : public TempDirTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(BadInput, NothingIsLost) {
  const BadCase &c = GetParam();
  make_files(dir, c.before);
  std::vector<Input> inputs;
  for (const std::string &name : c.inputs) {
    inputs.push_back({name, c.before.count(name) != 0 ? c.before.at(name) : read_file(name)});
  }
  const Result result = run(tool(), c.args, dir);
  EXPECT_EQ(result.status, c.status) << result.out << result.err;
  const std::string output = c.args[2].front() == '/' || c.args[2] == "." ? "" : c.args[2];
  EXPECT_TRUE(nothing_lost(dir, inputs, output, result.status));
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInput, ::testing::ValuesIn(bad_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
