// The header split, driven as a process through split_driver, and the merge with input
// counts that only a program can give it.
#include "harness.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace harness;

// `bytes` with a little-endian 32-bit `value` written at `at`.
std::string with_field(std::string bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.at(at + i) = static_cast<char>((value >> (8 * i)) & 0xFFU);
  }
  return bytes;
}

std::string size_line(const char *hex) {
  return std::string("Header File Size:0x") + hex + "\r\n";
}

// A 20-byte source whose length field, at byte 4, says 8.
const std::string src20 = with_field(random_bytes(20, 7), 4, 8);
// Field at 12, inside the body; says 4.
const std::string src_field_in_body = with_field(random_bytes(20, 8), 12, 4);
// Field at 2, says 6: read there for the offsets 2 and 65538.
const std::string src_field_at_2 = with_field(random_bytes(16, 9), 2, 6);
// Field at 65535, says 3: read there for the offset -1.
const std::string src_field_at_65535 = with_field(random_bytes(65540, 10), 65535, 3);
// Field at 0 saying 0, and the same saying the source's own length.
const std::string src_zero = with_field(random_bytes(10, 11), 0, 0);
const std::string src_whole = with_field(random_bytes(10, 12), 0, 10);
// Field says 16 in a 10-byte source: the header runs past the end.
const std::string src_past_end = with_field(random_bytes(10, 13), 0, 16);
// Field says 512 in a 600-byte source.
const std::string src_512 = with_field(random_bytes(600, 14), 0, 512);
// Field says 0x12345 in a 100-byte source.
const std::string src_big = with_field(random_bytes(100, 15), 0, 0x12345);
// Field with its top bit set.
const std::string src_negative = with_field(random_bytes(10, 16), 0, 0xFFFFFFF0U);

struct SplitCase {
  const char *name;
  Files before;
  std::vector<std::string> args; // SIZE_OFFSET SOURCE HEADER BODY
  std::string out;
  std::string err;
  int status;
  Files after;
};

void PrintTo(const SplitCase &c, std::ostream *os) {
  *os << c.name;
}

std::vector<std::string> split_args(const std::string &offset) {
  return {offset, "src.bin", "h.bin", "b.bin"};
}

// clang-format off
const SplitCase split_cases[] = {
  // name                  before                              args                      stdout                    stderr status after
  {"field_in_header",      {{"src.bin", src20}},               split_args("4"),          size_line("0008"),        "", 0, {{"h.bin", src20.substr(0, 8)}, {"b.bin", src20.substr(8)}}},
  {"field_in_body",        {{"src.bin", src_field_in_body}},   split_args("12"),         size_line("0004"),        "", 0, {{"h.bin", src_field_in_body.substr(0, 4)}, {"b.bin", src_field_in_body.substr(4)}}},
  {"offset_modulo_65536",  {{"src.bin", src_field_at_2}},      split_args("65538"),      size_line("0006"),        "", 0, {{"h.bin", src_field_at_2.substr(0, 6)}, {"b.bin", src_field_at_2.substr(6)}}},
  {"offset_minus_one",     {{"src.bin", src_field_at_65535}},  split_args("-1"),         size_line("0003"),        "", 0, {{"h.bin", src_field_at_65535.substr(0, 3)}, {"b.bin", src_field_at_65535.substr(3)}}},
  {"offset_space_and_sign",{{"src.bin", src_field_at_2}},      split_args(" +2xyz"),     size_line("0006"),        "", 0, {{"h.bin", src_field_at_2.substr(0, 6)}, {"b.bin", src_field_at_2.substr(6)}}},
  {"offset_without_digits",{{"src.bin", src_zero}},            split_args("abc"),        size_line("0000"),        "", 0, {{"h.bin", ""}, {"b.bin", src_zero}}},
  {"length_zero",          {{"src.bin", src_zero}},            split_args("0"),          size_line("0000"),        "", 0, {{"h.bin", ""}, {"b.bin", src_zero}}},
  {"length_whole_source",  {{"src.bin", src_whole}},           split_args("0"),          size_line("000a"),        "", 0, {{"h.bin", src_whole}, {"b.bin", ""}}},
  {"length_past_end",      {{"src.bin", src_past_end}},        split_args("0"),          size_line("0010"),        "", 0, {{"h.bin", src_past_end + std::string(6, '\xff')}, {"b.bin", ""}}},
  {"length_512",           {{"src.bin", src_512}},             split_args("0"),          size_line("0200"),        "", 0, {{"h.bin", src_512.substr(0, 512)}, {"b.bin", src_512.substr(512)}}},
  {"length_above_ffff",    {{"src.bin", src_big}},             split_args("0"),          size_line("12345"),       "", 0, {{"h.bin", src_big + std::string(0x12345 - 100, '\xff')}, {"b.bin", ""}}},
  {"old_parts_truncated",  {{"src.bin", src20}, {"h.bin", std::string(50, 'h')}, {"b.bin", std::string(50, 'b')}},
                                                               split_args("4"),          size_line("0008"),        "", 0, {{"h.bin", src20.substr(0, 8)}, {"b.bin", src20.substr(8)}}},
  {"length_negative",      {{"src.bin", src_negative}},        split_args("0"),          size_line("fffffff0") + "malloc fail\r\n", "", 1, {{"src.bin", src_negative}}},
  {"source_missing",       {},                                 split_args("0"),          "",                       "I couldn't open the file \"src.bin\"\r\n", 1, {}},
  {"source_is_directory",  {{"src.bin", "<dir>"}},             split_args("0"),          "",                       "I couldn't open the file \"src.bin\"\r\n", 1, {{"src.bin", "<dir>"}}},
  {"source_too_short",     {{"src.bin", "abcdef"}},            split_args("4"),          "read header size at offset 4 of src.bin failed\r\n", "", 1, {{"src.bin", "abcdef"}}},
  {"source_empty",         {{"src.bin", ""}},                  split_args("0"),          "read header size at offset 0 of src.bin failed\r\n", "", 1, {{"src.bin", ""}}},
  {"offset_too_large",     {{"src.bin", src20}},               split_args("2147483648"), "size offset 2147483648 is out of range\r\n", "", 1, {{"src.bin", src20}}},
  {"offset_too_small",     {{"src.bin", src20}},               split_args("-2147483649"),"size offset -2147483649 is out of range\r\n", "", 1, {{"src.bin", src20}}},
  {"offset_huge",          {{"src.bin", src20}},               split_args("99999999999999999999"), "size offset 99999999999999999999 is out of range\r\n", "", 1, {{"src.bin", src20}}},
  {"header_is_source",     {{"src.bin", src20}},               {"4", "src.bin", "./src.bin", "b.bin"},
                                                                                         size_line("0008") + "header file ./src.bin is the same file as source src.bin\r\n", "", 1, {{"src.bin", src20}}},
  {"body_is_source",       {{"src.bin", src20}},               {"4", "src.bin", "h.bin", "./src.bin"},
                                                                                         size_line("0008") + "body file ./src.bin is the same file as source src.bin\r\n", "", 1, {{"src.bin", src20}, {"h.bin", src20.substr(0, 8)}}},
  {"body_is_header",       {{"src.bin", src20}},               {"4", "src.bin", "h.bin", "./h.bin"},
                                                                                         size_line("0008") + "body file ./h.bin is the same file as header h.bin\r\n", "", 1, {{"src.bin", src20}, {"h.bin", src20.substr(0, 8)}}},
  {"header_dir_missing",   {{"src.bin", src20}},               {"4", "src.bin", "no/h.bin", "b.bin"},
                                                                                         size_line("0008"),        "I couldn't open the file \"no/h.bin\"\n", 1, {{"src.bin", src20}}},
  {"body_dir_missing",     {{"src.bin", src20}},               {"4", "src.bin", "h.bin", "no/b.bin"},
                                                                                         size_line("0008") + "Open the file failure...\r\n", "", 1, {{"src.bin", src20}, {"h.bin", src20.substr(0, 8)}}},
};
// clang-format on

class Split : public TempDirTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(Split, ReportsExitsAndLeavesFiles) {
  const SplitCase &c = GetParam();
  make_files(dir, c.before);
  const Result result = run(split_driver(), c.args, dir);
  EXPECT_EQ(result, (Result{c.status, console(c.out), console(c.err)}));
  EXPECT_TRUE(holds(dir, c.after));
}

INSTANTIATE_TEST_SUITE_P(Cases, Split, ::testing::ValuesIn(split_cases),
                         [](const auto &info) { return std::string(info.param.name); });

class SplitFiles : public TempDirTest {};

#ifndef _WIN32
TEST_F(SplitFiles, FullHeaderDeviceKeepsSource) {
  make_files(dir, {{"src.bin", src20}});
  const Result result = run(split_driver(), {"4", "src.bin", "/dev/full", "b.bin"}, dir);
  EXPECT_EQ(result, (Result{1, size_line("0008") + "write /dev/full failed\r\n", ""}));
  EXPECT_TRUE(holds(dir, (Files{{"src.bin", src20}})));
}

TEST_F(SplitFiles, FullBodyDeviceKeepsSource) {
  make_files(dir, {{"src.bin", src20}});
  const Result result = run(split_driver(), {"4", "src.bin", "h.bin", "/dev/full"}, dir);
  EXPECT_EQ(result, (Result{1, size_line("0008") + "write /dev/full failed\r\n", ""}));
  EXPECT_TRUE(holds(dir, (Files{{"src.bin", src20}, {"h.bin", src20.substr(0, 8)}})));
}

TEST_F(SplitFiles, HeaderLinkedToSourceIsRefused) {
  make_files(dir, {{"src.bin", src20}, {"h.bin", "-> src.bin"}});
  const Result result = run(split_driver(), split_args("4"), dir);
  EXPECT_EQ(
      result,
      (Result{1, size_line("0008") + "header file h.bin is the same file as source src.bin\r\n",
              ""}));
  EXPECT_TRUE(holds(dir, (Files{{"src.bin", src20}, {"h.bin", "-> src.bin"}})));
}
#endif

// For many random sources, split, then join the parts with the tool: the source comes back.
TEST_F(SplitFiles, RandomRoundTripsGiveTheSourceBack) {
  std::mt19937 random(20261211);
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t size = 4 + random() % 5000;
    const std::size_t at = random() % (size - 3);
    const auto length = static_cast<std::uint32_t>(random() % (size + 1));
    const std::string source = with_field(random_bytes(size, random()), at, length);
    // Offsets beyond 65535 keep their low 16 bits.
    const std::string offset = std::to_string(at + 65536 * (random() % 3));
    SCOPED_TRACE("trial " + std::to_string(trial) + ": size " + std::to_string(size) +
                 ", field at " + std::to_string(at) + " (" + offset + "), length " +
                 std::to_string(length));
    make_files(dir, {{"src.bin", source}});
    const Result split = run(split_driver(), split_args(offset), dir);
    ASSERT_EQ(split.status, 0) << split.out << split.err;
    const Result join = run(tool(), {"h.bin", "b.bin", "joined.bin"}, dir);
    ASSERT_EQ(join.status, 0) << join.out << join.err;
    ASSERT_TRUE(holds(dir, (Files{{"joined.bin", source}})));
    fs::remove(dir / "joined.bin");
  }
}

// merge with input counts other than the command line's 2.
struct CountCase {
  const char *name;
  const char *file_num;
  std::string out;
  Files after;
};

void PrintTo(const CountCase &c, std::ostream *os) {
  *os << c.name;
}

// clang-format off
const CountCase count_cases[] = {
  {"none",       "0", "",                                                             {{"a.bin", "A"}, {"b.bin", "B"}, {"out.bin", ""}}},
  {"first_only", "1", progress_line(0, "a.bin"),                                      {{"b.bin", "B"}, {"out.bin", "A"}}},
  {"both",       "2", progress_line(0, "a.bin") + progress_line(1, "b.bin"),          {{"out.bin", "AB"}}},
  {"above_two",  "7", progress_line(0, "a.bin") + progress_line(1, "b.bin"),          {{"out.bin", "AB"}}},
};
// clang-format on

class MergeCount : public TempDirTest, public ::testing::WithParamInterface<CountCase> {};

TEST_P(MergeCount, AppendsThatManyInputs) {
  const CountCase &c = GetParam();
  make_files(dir, {{"a.bin", "A"}, {"b.bin", "B"}, {"out.bin", "old"}});
  const Result result = run(merge_driver(), {c.file_num, "a.bin", "b.bin", "out.bin"}, dir);
  EXPECT_EQ(result, (Result{0, console(c.out), ""}));
  EXPECT_TRUE(holds(dir, c.after));
}

INSTANTIATE_TEST_SUITE_P(Cases, MergeCount, ::testing::ValuesIn(count_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
