#include "harness.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace harness {

namespace {

std::atomic<unsigned> counter{0};

// A name for a scratch file or directory that no other test or process uses.
fs::path unique_temp(const std::string &stem) {
#ifdef _WIN32
  const auto pid = static_cast<unsigned long>(GetCurrentProcessId());
#else
  const auto pid = static_cast<unsigned long>(getpid());
#endif
  return fs::temp_directory_path() /
         (stem + "-" + std::to_string(pid) + "-" + std::to_string(counter++));
}

// What a finished program left in its two capture files, which are then removed.
Result collect(int status, const fs::path &out_path, const fs::path &err_path) {
  Result result{status, read_file(out_path), read_file(err_path)};
  fs::remove(out_path);
  fs::remove(err_path);
  return result;
}

// The programs' paths as CMake gave them; under Wine a Unix path is reached through Z:.
std::string program_path(const char *built) {
  std::string path = built;
#ifdef _WIN32
  if (!path.empty() && path.front() == '/') {
    path = "Z:" + path;
  }
  for (char &c : path) {
    if (c == '/') {
      c = '\\';
    }
  }
#endif
  return path;
}

#ifdef _WIN32
// Quotes one argument so that the C start-up code hands it over unchanged (and does not
// expand wildcards in it).
std::string quote(const std::string &arg) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

Result run_windows(const std::string &program, const std::string &tail, const fs::path &cwd) {
  const fs::path out_path = unique_temp("parse_bin-out");
  const fs::path err_path = unique_temp("parse_bin-err");
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  auto create = [&](const fs::path &path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE out = create(out_path);
  HANDLE err = create(err_path);
  HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::string command_line = quote(program) + (tail.empty() ? "" : " " + tail);
  const std::string directory = cwd.string();
  if (CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     directory.c_str(), &startup, &process) == 0) {
    throw std::runtime_error("cannot start " + program);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(out);
  CloseHandle(err);
  CloseHandle(in);
  return collect(static_cast<int>(code), out_path, err_path);
}
#endif

} // namespace

void PrintTo(const Result &result, std::ostream *os) {
  *os << "{status " << result.status << ", out " << ::testing::PrintToString(result.out) << ", err "
      << ::testing::PrintToString(result.err) << "}";
}

std::string tool() {
  return program_path(PARSE_BIN_TOOL);
}
std::string split_driver() {
  return program_path(PARSE_BIN_SPLIT_DRIVER);
}
std::string merge_driver() {
  return program_path(PARSE_BIN_MERGE_DRIVER);
}

#ifdef _WIN32
Result run_command_line(const std::string &program, const std::string &tail, const fs::path &cwd) {
  return run_windows(program, tail, cwd);
}

Result run(const std::string &program, const std::vector<std::string> &args, const fs::path &cwd) {
  std::string tail;
  for (const std::string &arg : args) {
    tail += (tail.empty() ? "" : " ") + quote(arg);
  }
  return run_windows(program, tail, cwd);
}
#else
pid_t start(const std::string &program, const std::vector<std::string> &args, const fs::path &cwd,
            std::uint64_t file_size_limit, const fs::path &out_path, const fs::path &err_path) {
  std::vector<std::string> copies{program};
  copies.insert(copies.end(), args.begin(), args.end());
  std::vector<char *> argv;
  argv.reserve(copies.size() + 1);
  for (std::string &arg : copies) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    throw std::system_error(errno, std::generic_category(), "fork");
  }
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    if (file_size_limit != 0) {
      // Writes past the limit then fail with EFBIG instead of ending the process.
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{file_size_limit, file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

Finished finish(pid_t pid) {
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "wait4");
    }
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), usage.ru_maxrss};
}

Result run(const std::string &program, const std::vector<std::string> &args, const fs::path &cwd) {
  const fs::path out_path = unique_temp("parse_bin-out");
  const fs::path err_path = unique_temp("parse_bin-err");
  return collect(finish(start(program, args, cwd, 0, out_path, err_path)).status, out_path,
                 err_path);
}
#endif

std::string console(const std::string &text) {
#ifdef _WIN32
  std::string converted;
  for (const char c : text) {
    if (c == '\n') {
      converted += '\r';
    }
    converted += c;
  }
  return converted;
#else
  return text;
#endif
}

std::string begin_line() {
  return "Append file begin...\r\n";
}
std::string summary_line(const std::string &first, const std::string &second,
                         const std::string &output) {
  return "input file1 " + first + ",input file2:" + second + ",output file:" + output + "\r\n";
}
std::string progress_line(int index, const std::string &name) {
  return "merge file" + std::to_string(index) + "_name:" + name + "\r\n";
}
std::string end_line() {
  return "Append file End!\r\n";
}
std::string complete_run(const std::string &first, const std::string &second,
                         const std::string &output) {
  return begin_line() + summary_line(first, second, output) + progress_line(0, first) +
         progress_line(1, second) + end_line();
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

void make_files(const fs::path &dir, const Files &files) {
  for (const auto &[name, content] : files) {
    const fs::path path = dir / fs::u8path(name);
    if (content == "<dir>") {
      fs::create_directories(path);
    } else if (content.rfind("-> ", 0) == 0) {
      fs::create_symlink(fs::u8path(content.substr(3)), path);
    } else {
      fs::create_directories(path.parent_path());
      write_file(path, content);
    }
  }
}

Files list_files(const fs::path &dir) {
  Files files;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string name = it->path().lexically_relative(dir).generic_u8string();
    if (it->is_symlink()) {
      files[name] = "-> " + fs::read_symlink(it->path()).generic_u8string();
    } else if (it->is_directory()) {
      files[name] = "<dir>";
    } else if (it->status().type() == fs::file_type::fifo) {
      files[name] = "<fifo>";
    } else {
      files[name] = read_file(it->path());
    }
  }
  return files;
}

namespace {
std::string describe(const std::string &content) {
  if (content.size() <= 64) {
    return ::testing::PrintToString(content);
  }
  return std::to_string(content.size()) + " bytes";
}
} // namespace

::testing::AssertionResult holds(const fs::path &dir, const Files &expected) {
  const Files actual = list_files(dir);
  std::ostringstream problems;
  for (const auto &[name, content] : expected) {
    const auto found = actual.find(name);
    if (found == actual.end()) {
      problems << "\n  missing " << name << " (expected " << describe(content) << ")";
    } else if (found->second != content) {
      const auto &got = found->second;
      std::size_t at = 0;
      while (at < got.size() && at < content.size() && got[at] == content[at]) {
        ++at;
      }
      problems << "\n  " << name << " is " << describe(got) << ", expected " << describe(content)
               << "; first difference at byte " << at;
    }
  }
  for (const auto &[name, content] : actual) {
    if (expected.count(name) == 0) {
      problems << "\n  unexpected " << name << " (" << describe(content) << ")";
    }
  }
  if (problems.str().empty()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << dir.string() << ":" << problems.str();
}

std::string random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 4) {
    const std::uint32_t word = generator();
    for (std::size_t k = 0; k < 4 && i + k < size; ++k) {
      bytes[i + k] = static_cast<char>((word >> (8 * k)) & 0xFFU);
    }
  }
  return bytes;
}

std::string every_byte() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) {
    bytes += static_cast<char>(i);
  }
  return bytes;
}

void TempDirTest::SetUp() {
  dir = unique_temp("parse_bin-test");
  fs::create_directories(dir);
}

void TempDirTest::TearDown() {
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

} // namespace harness
