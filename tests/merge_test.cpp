// The append tool, run as a process: its report, its exit status and the files it leaves.
#include "harness.h"

#include <map>
#include <string>
#include <vector>

namespace {

using namespace harness;

struct MergeCase {
  const char *name;
  Files before;                  // the working directory before the run
  std::vector<std::string> args; // the tool's arguments
  std::string out;               // standard output, as the report functions write it
  std::string err;               // standard error
  int status;
  Files after; // the whole working directory after the run
};

void PrintTo(const MergeCase &c, std::ostream *os) {
  *os << c.name;
}

const std::vector<std::string> abo{"a.bin", "b.bin", "out.bin"};
const std::string head = begin_line() + summary_line("a.bin", "b.bin", "out.bin");
const std::string both = head + progress_line(0, "a.bin") + progress_line(1, "b.bin");
const std::string first_only = head + progress_line(0, "a.bin");
const std::string usage = "usage: parse_bin FIRST_INPUT SECOND_INPUT OUTPUT\n";
std::string argc_error(int argc) {
  return begin_line() + "[ERROR] input parameter num error, argc = " + std::to_string(argc) +
         "\r\n";
}

// clang-format off
const MergeCase merge_cases[] = {
  // name                 before                                              args  stdout                 stderr status after
  {"two_inputs",          {{"a.bin", "hello "}, {"b.bin", "world"}},          abo,  both + end_line(),     "", 0, {{"out.bin", "hello world"}}},
  {"empty_first",         {{"a.bin", ""}, {"b.bin", "B"}},                    abo,  both + end_line(),     "", 0, {{"out.bin", "B"}}},
  {"empty_second",        {{"a.bin", "A"}, {"b.bin", ""}},                    abo,  both + end_line(),     "", 0, {{"out.bin", "A"}}},
  {"both_empty",          {{"a.bin", ""}, {"b.bin", ""}},                     abo,  both + end_line(),     "", 0, {{"out.bin", ""}}},
  {"output_truncated",    {{"a.bin", "1"}, {"b.bin", "2"}, {"out.bin", "old bytes that must go"}},
                                                                              abo,  both + end_line(),     "", 0, {{"out.bin", "12"}}},
  {"control_bytes",       {{"a.bin", std::string("\0\r\n\x1a\r", 5)}, {"b.bin", std::string("\n\x1a\0", 3)}},
                                                                              abo,  both + end_line(),     "", 0, {{"out.bin", std::string("\0\r\n\x1a\r\n\x1a\0", 8)}}},
  {"every_byte",          {{"a.bin", every_byte()}, {"b.bin", every_byte()}}, abo,  both + end_line(),     "", 0, {{"out.bin", every_byte() + every_byte()}}},
  {"first_missing",       {{"b.bin", "B"}},                                   abo,  head + "fopen a.bin failed\r\n", "", 1, {{"b.bin", "B"}, {"out.bin", ""}}},
  {"second_missing",      {{"a.bin", "A"}},                                   abo,  first_only + "fopen b.bin failed\r\n", "", 1, {{"out.bin", "A"}}},
  {"second_missing_old_output", {{"a.bin", "A"}, {"out.bin", "old"}},         abo,  first_only + "fopen b.bin failed\r\n", "", 1, {{"out.bin", "A"}}},
  {"same_input_twice",    {{"a.bin", "A"}},                                   {"a.bin", "a.bin", "out.bin"},
                          begin_line() + summary_line("a.bin", "a.bin", "out.bin") + progress_line(0, "a.bin") + "fopen a.bin failed\r\n",
                                                                                                           "", 1, {{"out.bin", "A"}}},
  {"empty_name_argument", {{"b.bin", "B"}},                                   {"", "b.bin", "out.bin"},
                          begin_line() + summary_line("", "b.bin", "out.bin") + "fopen  failed\r\n", "", 1, {{"b.bin", "B"}, {"out.bin", ""}}},
  {"output_dir_missing",  {{"a.bin", "A"}, {"b.bin", "B"}},                   {"a.bin", "b.bin", "no/out.bin"},
                          begin_line() + summary_line("a.bin", "b.bin", "no/out.bin"),
                                                                                     "Couldn't create the output file \"no/out.bin\"\n", 1, {{"a.bin", "A"}, {"b.bin", "B"}}},
  {"input_is_directory",  {{"d", "<dir>"}, {"b.bin", "B"}},                   {"d", "b.bin", "out.bin"},
                          begin_line() + summary_line("d", "b.bin", "out.bin") + progress_line(0, "d") + "read d failed\r\n",
                                                                                                           "", 1, {{"d", "<dir>"}, {"b.bin", "B"}, {"out.bin", ""}}},
  {"second_is_directory", {{"a.bin", "A"}, {"d", "<dir>"}},                   {"a.bin", "d", "out.bin"},
                          begin_line() + summary_line("a.bin", "d", "out.bin") + progress_line(0, "a.bin") + progress_line(1, "d") + "read d failed\r\n",
                                                                                                           "", 1, {{"d", "<dir>"}, {"out.bin", "A"}}},
  {"names_with_spaces_and_dash", {{"a b.bin", "1"}, {"-b.bin", "2"}},         {"a b.bin", "-b.bin", "-o ut"},
                          complete_run("a b.bin", "-b.bin", "-o ut"),
                                                                                                           "", 0, {{"-o ut", "12"}}},
  {"non_ascii_names",     {{"\xc3\xa9t\xc3\xa9.bin", "\xe2\x82\xac"}, {"b.bin", "!"}}, {"\xc3\xa9t\xc3\xa9.bin", "b.bin", "\xc3\xbc.bin"},
                          complete_run("\xc3\xa9t\xc3\xa9.bin", "b.bin", "\xc3\xbc.bin"),
                                                                                                           "", 0, {{"\xc3\xbc.bin", "\xe2\x82\xac!"}}},
  {"no_arguments",        {{"a.bin", "A"}},                                   {},                          argc_error(1), usage, 2, {{"a.bin", "A"}}},
  {"two_arguments",       {{"a.bin", "A"}, {"b.bin", "B"}},                   {"a.bin", "b.bin"},          argc_error(3), usage, 2, {{"a.bin", "A"}, {"b.bin", "B"}}},
  {"four_arguments",      {{"a.bin", "A"}, {"b.bin", "B"}, {"out.bin", "O"}}, {"a.bin", "b.bin", "out.bin", "x"},
                                                                                                     argc_error(5), usage, 2, {{"a.bin", "A"}, {"b.bin", "B"}, {"out.bin", "O"}}},
};
// clang-format on

#ifdef _WIN32
// Standard output where Windows differs: it refuses to open a directory as a file at all.
const std::map<std::string, std::string> windows_out{
    {"input_is_directory",
     begin_line() + summary_line("d", "b.bin", "out.bin") + "fopen d failed\r\n"},
    {"second_is_directory", begin_line() + summary_line("a.bin", "d", "out.bin") +
                                progress_line(0, "a.bin") + "fopen d failed\r\n"},
};
#endif

class Merge : public TempDirTest, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(Merge, ReportsExitsAndLeavesFiles) {
  const MergeCase &c = GetParam();
  std::string out = c.out;
#ifdef _WIN32
  if (std::string(c.name) == "non_ascii_names") {
    GTEST_SKIP() << "narrow names pass through the ANSI code page on Windows";
  }
  if (windows_out.count(c.name) != 0) {
    out = windows_out.at(c.name);
  }
#endif
  make_files(dir, c.before);
  const Result result = run(tool(), c.args, dir);
  EXPECT_EQ(result, (Result{c.status, console(out), console(c.err)}));
  EXPECT_TRUE(holds(dir, c.after));
}

INSTANTIATE_TEST_SUITE_P(Cases, Merge, ::testing::ValuesIn(merge_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// An output that is the same file as an input, under any name, is refused before anything
// is created, truncated or deleted.
struct SameFileCase {
  const char *name;
  Files extra;        // links made beside a.bin and b.bin
  const char *output; // the output argument
  const char *input;  // the input it is found to be
  bool posix_only;    // needs symbolic links as Windows programs cannot count on
};

// clang-format off
const SameFileCase same_file_cases[] = {
  {"output_is_first",       {},                       "a.bin",    "a.bin", false},
  {"output_is_second",      {},                       "b.bin",    "b.bin", false},
  {"dot_slash_name",        {},                       "./a.bin",  "a.bin", false},
  {"symlink_to_first",      {{"l.bin", "-> a.bin"}},  "l.bin",    "a.bin", true},
  {"symlink_to_second",     {{"l.bin", "-> b.bin"}},  "l.bin",    "b.bin", true},
  {"through_directory_link",{{"sub", "-> ."}},        "sub/b.bin","b.bin", true},
};
// clang-format on

class SameFile : public TempDirTest, public ::testing::WithParamInterface<SameFileCase> {};

TEST_P(SameFile, RefusedBeforeAnythingIsTouched) {
  const SameFileCase &c = GetParam();
#ifdef _WIN32
  if (c.posix_only) {
    GTEST_SKIP() << "symbolic links need privileges that Windows users rarely have";
  }
#endif
  Files files{{"a.bin", "first"}, {"b.bin", "second"}};
  files.insert(c.extra.begin(), c.extra.end());
  make_files(dir, files);
  const Result result = run(tool(), {"a.bin", "b.bin", c.output}, dir);
  const std::string refusal =
      std::string("output file ") + c.output + " is the same file as input " + c.input + "\r\n";
  EXPECT_EQ(
      result,
      (Result{1, console(begin_line() + summary_line("a.bin", "b.bin", c.output) + refusal), ""}));
  EXPECT_TRUE(holds(dir, files));
}

INSTANTIATE_TEST_SUITE_P(Cases, SameFile, ::testing::ValuesIn(same_file_cases),
                         [](const auto &info) { return std::string(info.param.name); });

class MergeFiles : public TempDirTest {};

TEST_F(MergeFiles, HardLinkToAnInputIsTheSameFile) {
  make_files(dir, {{"a.bin", "first"}, {"b.bin", "second"}});
  fs::create_hard_link(dir / "a.bin", dir / "h.bin");
  const Result result = run(tool(), {"a.bin", "b.bin", "h.bin"}, dir);
  EXPECT_EQ(result, (Result{1,
                            console(begin_line() + summary_line("a.bin", "b.bin", "h.bin") +
                                    "output file h.bin is the same file as input a.bin\r\n"),
                            ""}));
  EXPECT_TRUE(holds(dir, (Files{{"a.bin", "first"}, {"b.bin", "second"}, {"h.bin", "first"}})));
}

TEST_F(MergeFiles, LargeInputsArriveWhole) {
  const std::string first = random_bytes((std::size_t{40} << 20U) + 123, 1);
  const std::string second = random_bytes((std::size_t{3} << 20U) + 7, 2);
  make_files(dir, {{"a.bin", first}, {"b.bin", second}});
  const Result result = run(tool(), abo, dir);
  EXPECT_EQ(result, (Result{0, console(both + end_line()), ""}));
  ASSERT_TRUE(holds(dir, (Files{{"out.bin", first + second}})));
}

TEST_F(MergeFiles, OutputInAnotherDirectory) {
  make_files(dir, {{"in/a.bin", "A"}, {"in/b.bin", "B"}, {"out", "<dir>"}});
  const Result result = run(tool(), {"in/a.bin", "in/b.bin", "out/o.bin"}, dir);
  EXPECT_EQ(result, (Result{0, console(complete_run("in/a.bin", "in/b.bin", "out/o.bin")), ""}));
  EXPECT_TRUE(holds(dir, (Files{{"in", "<dir>"}, {"out", "<dir>"}, {"out/o.bin", "AB"}})));
}

#ifndef _WIN32
// A name that leads nowhere yet, through a link, to an input's name: creating the output
// makes that input exist, and it must not then be read into itself or deleted.
TEST_F(MergeFiles, DanglingLinkOutputThatBecomesAnInput) {
  make_files(dir, {{"b.bin", "B"}, {"l.bin", "-> a.bin"}});
  const Result result = run(tool(), {"a.bin", "b.bin", "l.bin"}, dir);
  EXPECT_EQ(result, (Result{1,
                            begin_line() + summary_line("a.bin", "b.bin", "l.bin") +
                                "output file l.bin is the same file as input a.bin\r\n",
                            ""}));
  EXPECT_TRUE(holds(dir, (Files{{"a.bin", ""}, {"b.bin", "B"}, {"l.bin", "-> a.bin"}})));
}

TEST_F(MergeFiles, DanglingLinkOutputElsewhereIsCreated) {
  make_files(dir, {{"a.bin", "A"}, {"b.bin", "B"}, {"l.bin", "-> target.bin"}});
  const Result result = run(tool(), {"a.bin", "b.bin", "l.bin"}, dir);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(holds(dir, (Files{{"l.bin", "-> target.bin"}, {"target.bin", "AB"}})));
}

TEST_F(MergeFiles, FullOutputDeviceDeletesNothing) {
  make_files(dir, {{"a.bin", "A"}, {"b.bin", "B"}});
  const Result result = run(tool(), {"a.bin", "b.bin", "/dev/full"}, dir);
  EXPECT_EQ(result, (Result{1,
                            begin_line() + summary_line("a.bin", "b.bin", "/dev/full") +
                                progress_line(0, "a.bin") + "write /dev/full failed\r\n",
                            ""}));
  EXPECT_TRUE(holds(dir, (Files{{"a.bin", "A"}, {"b.bin", "B"}})));
}

TEST_F(MergeFiles, UnwritableOutputIsNotCreated) {
  if (geteuid() == 0) {
    // root opens read-only files for writing anyway; use a directory it cannot create in
    make_files(dir, {{"a.bin", "A"}, {"b.bin", "B"}});
    const Result result = run(tool(), {"a.bin", "b.bin", "/proc/out.bin"}, dir);
    EXPECT_EQ(result, (Result{1, begin_line() + summary_line("a.bin", "b.bin", "/proc/out.bin"),
                              "Couldn't create the output file \"/proc/out.bin\"\n"}));
    EXPECT_TRUE(holds(dir, (Files{{"a.bin", "A"}, {"b.bin", "B"}})));
    return;
  }
  make_files(dir, {{"a.bin", "A"}, {"b.bin", "B"}, {"out.bin", "kept"}});
  fs::permissions(dir / "out.bin", fs::perms::owner_read);
  const Result result = run(tool(), abo, dir);
  EXPECT_EQ(result, (Result{1, head, "Couldn't create the output file \"out.bin\"\n"}));
  EXPECT_TRUE(holds(dir, (Files{{"a.bin", "A"}, {"b.bin", "B"}, {"out.bin", "kept"}})));
}
#endif

} // namespace

#ifdef _WIN32
namespace windows {

using namespace harness;

class Wildcards : public TempDirTest {};

// The start-up code replaces a pattern by the matching names, sorted without regard to case.
TEST_F(Wildcards, PatternExpandsToSortedNames) {
  make_files(dir, {{"p1.bin", "one"}, {"P2.bin", "two"}, {"q.bin", "other"}});
  const Result result = run_command_line(tool(), "p*.bin out.bin", dir);
  EXPECT_EQ(result, (Result{0, console(complete_run("p1.bin", "P2.bin", "out.bin")), ""}));
  EXPECT_TRUE(holds(dir, (Files{{"out.bin", "onetwo"}, {"q.bin", "other"}})));
}

TEST_F(Wildcards, PatternMatchingNothingStaysAsTyped) {
  make_files(dir, {{"a.bin", "A"}});
  const Result short_line = run_command_line(tool(), "z*.bin out.bin", dir);
  EXPECT_EQ(short_line,
            (Result{2, console(begin_line() + "[ERROR] input parameter num error, argc = 3\r\n"),
                    console("usage: parse_bin FIRST_INPUT SECOND_INPUT OUTPUT\n")}));
  const Result literal = run_command_line(tool(), "a.bin z?.bin out.bin", dir);
  EXPECT_EQ(literal, (Result{1,
                             console(begin_line() + summary_line("a.bin", "z?.bin", "out.bin") +
                                     progress_line(0, "a.bin") + "fopen z?.bin failed\r\n"),
                             ""}));
  EXPECT_TRUE(holds(dir, (Files{{"out.bin", "A"}})));
}

} // namespace windows
#endif
