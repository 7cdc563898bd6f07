// The copy takes whichever path the inputs allow (inside the kernel for regular files,
// through the streams for pipes, devices and /proc); what arrives is the same either way.
// Only regular files are deleted once copied: a FIFO or a device holds no bytes of its own.
#include "harness.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using namespace harness;

// Feeds `content` into the FIFO at `path` once a reader opens it; gives up after 20 s.
std::thread feed_fifo(const fs::path &path, std::string content) {
  return std::thread([path, content = std::move(content)] {
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 2000; ++tries) {
      fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (fd < 0) {
      return;
    }
    fcntl(fd, F_SETFL, 0);
    std::size_t done = 0;
    while (done < content.size()) {
      const ssize_t n = write(fd, content.data() + done, content.size() - done);
      if (n <= 0) {
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    close(fd);
  });
}

class CopyPaths : public TempDirTest {
protected:
  void make_fifo(const char *name) { ASSERT_EQ(mkfifo((dir / name).c_str(), 0600), 0); }
  const std::string expected_out = complete_run("a.bin", "b.bin", "out.bin");
};

TEST_F(CopyPaths, FifoThenRegularFile) {
  const std::string piped = random_bytes(300000, 21);
  const std::string regular = random_bytes(200000, 22);
  make_fifo("a.bin");
  make_files(dir, {{"b.bin", regular}});
  std::thread feeder = feed_fifo(dir / "a.bin", piped);
  const Result result = run(tool(), {"a.bin", "b.bin", "out.bin"}, dir);
  feeder.join();
  EXPECT_EQ(result, (Result{0, expected_out, ""}));
  EXPECT_TRUE(holds(dir, (Files{{"a.bin", "<fifo>"}, {"out.bin", piped + regular}})));
}

TEST_F(CopyPaths, RegularFileThenFifo) {
  const std::string regular = random_bytes(200000, 23);
  const std::string piped = random_bytes(300000, 24);
  make_files(dir, {{"a.bin", regular}});
  make_fifo("b.bin");
  std::thread feeder = feed_fifo(dir / "b.bin", piped);
  const Result result = run(tool(), {"a.bin", "b.bin", "out.bin"}, dir);
  feeder.join();
  EXPECT_EQ(result, (Result{0, expected_out, ""}));
  EXPECT_TRUE(holds(dir, (Files{{"b.bin", "<fifo>"}, {"out.bin", regular + piped}})));
}

TEST_F(CopyPaths, ProcFileIsCopiedWhole) {
  // /proc files report a size of 0 and still have content; they cannot be deleted.
  const std::string version = read_file("/proc/version");
  ASSERT_FALSE(version.empty());
  make_files(dir, {{"b.bin", "tail"}});
  const Result result = run(tool(), {"/proc/version", "b.bin", "out.bin"}, dir);
  EXPECT_EQ(result, (Result{0, complete_run("/proc/version", "b.bin", "out.bin"), ""}));
  EXPECT_TRUE(holds(dir, (Files{{"out.bin", version + "tail"}})));
}

TEST_F(CopyPaths, DeviceInputIsCopiedAndKept) {
  // A null device of the test's own, so that a fault cannot take the system's /dev/null.
  if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  make_files(dir, {{"b.bin", "B"}});
  const Result result = run(tool(), {"null", "b.bin", "out.bin"}, dir);
  EXPECT_EQ(result, (Result{0, complete_run("null", "b.bin", "out.bin"), ""}));
  EXPECT_TRUE(fs::is_character_file(dir / "null"));
  fs::remove(dir / "null");
  EXPECT_TRUE(holds(dir, (Files{{"out.bin", "B"}})));
}

TEST_F(CopyPaths, OutputIsAFifo) {
  // The output side declines the kernel copy too; a reader drains it.
  const std::string first = random_bytes(100000, 25);
  const std::string second = random_bytes(100000, 26);
  make_files(dir, {{"a.bin", first}, {"b.bin", second}});
  make_fifo("out.bin");
  // Opened before the tool starts, so that every byte it writes has a reader waiting.
  const int fd = open((dir / "out.bin").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::atomic<bool> finished{false};
  std::string drained;
  std::thread reader([&] {
    char block[4096];
    for (;;) {
      const bool last = finished;
      const ssize_t n = read(fd, block, sizeof block);
      if (n > 0) {
        drained.append(block, static_cast<std::size_t>(n));
      } else if (last) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
  const Result result = run(tool(), {"a.bin", "b.bin", "out.bin"}, dir);
  finished = true;
  reader.join();
  close(fd);
  // A FIFO cannot be forced to storage: the tool says so and keeps the inputs.
  EXPECT_EQ(result, (Result{1,
                            begin_line() + summary_line("a.bin", "b.bin", "out.bin") +
                                progress_line(0, "a.bin") + "write out.bin failed\r\n",
                            ""}));
  EXPECT_TRUE(drained == first) << "drained " << drained.size() << " bytes of " << first.size();
  EXPECT_TRUE(holds(dir, (Files{{"a.bin", first}, {"b.bin", second}, {"out.bin", "<fifo>"}})));
}

TEST_F(CopyPaths, SplitBodyFromTheMiddleOfALargeSource) {
  // The body copy starts after a seek and spans several kernel calls.
  std::string source = random_bytes((std::size_t{36} << 20U) + 5, 27);
  const std::uint32_t header = 1000003;
  for (int i = 0; i < 4; ++i) {
    source[8 + i] = static_cast<char>((header >> (8 * i)) & 0xFFU);
  }
  make_files(dir, {{"src.bin", source}});
  const Result result = run(split_driver(), {"8", "src.bin", "h.bin", "b.bin"}, dir);
  EXPECT_EQ(result, (Result{0, "Header File Size:0xf4243\r\n", ""}));
  EXPECT_TRUE(
      holds(dir, (Files{{"h.bin", source.substr(0, header)}, {"b.bin", source.substr(header)}})));
}

} // namespace
