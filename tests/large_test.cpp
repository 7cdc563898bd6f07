// Large files: an output past 4 GiB, and memory that does not grow with the inputs.
#include "harness.h"

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace harness;

struct Marker {
  std::uint64_t at;
  std::string bytes;
};

// A sparse file of `size` bytes, zero but for the markers.
void make_sparse(const fs::path &path, std::uint64_t size, const std::vector<Marker> &markers) {
  { std::ofstream create(path, std::ios::binary); }
  fs::resize_file(path, size);
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (const Marker &marker : markers) {
    file.seekp(static_cast<std::streamoff>(marker.at));
    file.write(marker.bytes.data(), static_cast<std::streamsize>(marker.bytes.size()));
  }
  ASSERT_TRUE(file.flush());
}

// Whether the file is exactly `size` bytes, zero but for the markers (in order).
::testing::AssertionResult is_sparse_copy(const fs::path &path, std::uint64_t size,
                                          const std::vector<Marker> &markers) {
  if (fs::file_size(path) != size) {
    return ::testing::AssertionFailure() << path << " is " << fs::file_size(path) << " bytes";
  }
  std::ifstream file(path, std::ios::binary);
  std::vector<char> block(std::size_t{1} << 20U);
  std::vector<char> want(block.size());
  for (std::uint64_t at = 0; at < size;) {
    file.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got == 0) {
      return ::testing::AssertionFailure() << "cannot read " << path << " at " << at;
    }
    std::fill(want.begin(), want.end(), '\0');
    for (const Marker &marker : markers) {
      for (std::size_t i = 0; i < marker.bytes.size(); ++i) {
        if (marker.at + i >= at && marker.at + i < at + got) {
          want[marker.at + i - at] = marker.bytes[i];
        }
      }
    }
    if (!std::equal(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got),
                    want.begin())) {
      return ::testing::AssertionFailure() << path << " differs in the MiB at " << at;
    }
    at += got;
  }
  return ::testing::AssertionSuccess();
}

class Large : public TempDirTest {};

TEST_F(Large, OutputBeyondFourGiB) {
  const std::uint64_t first = (std::uint64_t{3} << 30U) + 17;
  const std::uint64_t second = (std::uint64_t{3} << 29U) + 5;
  const std::vector<Marker> first_marks{{0, "first:start"}, {first - 10, "first:end!"}};
  const std::vector<Marker> second_marks{{0, "second:start"}, {second - 11, "second:end!"}};
  make_sparse(dir / "a.bin", first, first_marks);
  make_sparse(dir / "b.bin", second, second_marks);

  const Result result = run(tool(), {"a.bin", "b.bin", "out.bin"}, dir);
  EXPECT_EQ(result, (Result{0, complete_run("a.bin", "b.bin", "out.bin"), ""}));
  EXPECT_FALSE(fs::exists(dir / "a.bin"));
  EXPECT_FALSE(fs::exists(dir / "b.bin"));
  std::vector<Marker> out_marks = first_marks;
  for (const Marker &marker : second_marks) {
    out_marks.push_back({first + marker.at, marker.bytes});
  }
  EXPECT_TRUE(is_sparse_copy(dir / "out.bin", first + second, out_marks));
}

TEST_F(Large, MemoryDoesNotGrowWithTheInputs) {
#ifdef PARSE_BIN_SANITIZED
  GTEST_SKIP() << "the sanitizers' own memory hides the tool's";
#endif
  std::vector<long> peaks;
  for (const std::uint64_t size : {std::uint64_t{1} << 20U, std::uint64_t{1} << 30U}) {
    make_sparse(dir / "a.bin", size, {{0, "a"}});
    make_sparse(dir / "b.bin", size, {{0, "b"}});
    const Finished run = finish(start(tool(), {"a.bin", "b.bin", "out.bin"}, dir));
    ASSERT_EQ(run.status, 0);
    peaks.push_back(run.peak_rss_kib);
    fs::remove(dir / "out.bin");
  }
  std::cout << "peak memory: " << peaks[0] << " KiB for 2 x 1 MiB, " << peaks[1]
            << " KiB for 2 x 1 GiB\n";
  EXPECT_LT(peaks[1], 8 * 1024);
  EXPECT_LT(peaks[1] - peaks[0], 512);
}

} // namespace
