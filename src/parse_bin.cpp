// parse_bin: append two files into one and delete them, and split a file into the header
// and body that a 4-byte length field inside it describes.
#include "parse_bin.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

// ---------------------------------------------------------------------------------------
// Platform layer: everything that differs between POSIX and Windows.
// ---------------------------------------------------------------------------------------

// True when both names lead to one existing file (device and inode, or volume and file
// index), whatever links or spellings of the path lead there.
bool same_file(const char *a, const char *b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

// Forces the data written to `file` (already flushed out of the stream) to stable storage.
bool sync_file(std::FILE *file) {
#ifdef _WIN32
  return _commit(_fileno(file)) == 0;
#elif defined(__APPLE__)
  return fsync(fileno(file)) == 0;
#else
  return fdatasync(fileno(file)) == 0;
#endif
}

// Forces the directory entry of the named (existing) file to stable storage. Windows file
// systems keep the entry with the file, so there is nothing to do there.
bool sync_directory_of(const char *name) {
#ifdef _WIN32
  (void)name;
  return true;
#else
  std::error_code error;
  std::filesystem::path target = std::filesystem::canonical(name, error);
  if (error) {
    target = name;
  }
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) {
    directory = ".";
  }
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
#endif
}

#ifdef __linux__
// The most one copy_file_range call is asked to move.
constexpr std::size_t kernel_chunk = std::size_t{16} << 20U;

// Moves whatever the kernel agrees to move, from `src`'s position onwards to `dst`'s
// position, inside the kernel, and leaves both streams just after the moved bytes. The
// kernel declines pipes, devices, some file systems and files such as those under /proc
// that report no size; its first answer of 0 bytes is never taken as the end, because the
// block copy that follows reads on from where this stopped and so confirms it.
CopyResult copy_in_kernel(std::FILE *src, std::FILE *dst) {
  if (std::fflush(dst) != 0) {
    return CopyResult::write_failed;
  }
  off_t in = ftello(src);
  off_t out = ftello(dst);
  if (in < 0 || out < 0) {
    return CopyResult::done; // not seekable: the block copy does it all
  }
  const off_t in_start = in;
  for (;;) {
    const off_t chunk_start = out;
    if (copy_file_range(fileno(src), &in, fileno(dst), &out, kernel_chunk, 0) <= 0) {
      break;
    }
    // Start writing the chunk back now, so that the disk works while the next one is
    // copied and the sync before the input is deleted has less to wait for. Only a hint:
    // the sync checks everything.
    sync_file_range(fileno(dst), chunk_start, out - chunk_start, SYNC_FILE_RANGE_WRITE);
  }
  if (in == in_start) {
    return CopyResult::done; // nothing moved, both streams are where they were
  }
  if (fseeko(dst, out, SEEK_SET) != 0) {
    return CopyResult::write_failed;
  }
  if (fseeko(src, in, SEEK_SET) != 0) {
    return CopyResult::read_failed;
  }
  return CopyResult::done;
}
#endif

// ---------------------------------------------------------------------------------------
// Shared helpers
// ---------------------------------------------------------------------------------------

// Writes one formatted message to `stream` and ends the process with exit status 1. The
// standard output is flushed first so that messages keep their order on a shared console.
template <typename... Args>
[[noreturn]] void fail(std::FILE *stream, const char *format, Args... args) {
  std::fflush(stdout);
  std::fprintf(stream, format, args...);
  std::exit(1);
}

// Writes one whole line to the standard output and ends the process with exit status 1.
[[noreturn]] void fail_line(const char *line) {
  std::puts(line);
  std::exit(1);
}

// The copy through the streams, one fixed-size block at a time.
CopyResult copy_blocks(std::FILE *src, std::FILE *dst) {
  std::array<unsigned char, std::size_t{64} << 10U> block{};
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), src);
    if (got > 0 && std::fwrite(block.data(), 1, got, dst) != got) {
      return CopyResult::write_failed;
    }
    if (got < block.size()) {
      return std::ferror(src) != 0 ? CopyResult::read_failed : CopyResult::done;
    }
  }
}

// Deletes a file whose bytes have all been taken. Only a regular file holds its bytes: a
// device, FIFO or socket name is a way in to something else and is left where it is.
void remove_taken(const char *name) {
  std::error_code error;
  if (std::filesystem::is_regular_file(name, error)) {
    std::remove(name);
  }
}

// Pushes everything written to `file` out of the stream and onto stable storage.
bool flush_to_storage(std::FILE *file) {
  return std::fflush(file) == 0 && sync_file(file);
}

// Puts a file that was just written on stable storage, entry and all, and closes it.
bool close_durably(std::FILE *file, const char *name) {
  const bool flushed = flush_to_storage(file);
  const bool closed = std::fclose(file) == 0;
  return flushed && closed && sync_directory_of(name);
}

// ---------------------------------------------------------------------------------------
// Append merge
// ---------------------------------------------------------------------------------------

void refuse_output_onto_input(const MergeFile_info *info, const char *const *inputs,
                              std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (same_file(info->output_name, inputs[i])) {
      fail(stdout, "output file %s is the same file as input %s\r\n", info->output_name, inputs[i]);
    }
  }
}

// Appends input `index` to the output and deletes it once its bytes are on stable storage.
void append_input(std::FILE *output, const char *output_name, const char *input,
                  std::uint32_t index) {
  std::FILE *source = std::fopen(input, "rb");
  if (source == nullptr) {
    fail(stdout, "fopen %s failed\r\n", input);
  }
  std::printf("merge file%d_name:%s\r\n", static_cast<int>(index), input);
  const CopyResult copied = copy_to_end(source, output);
  std::fclose(source); // opened for reading only: nothing of ours is lost if this fails
  if (copied == CopyResult::read_failed) {
    fail(stdout, "read %s failed\r\n", input);
  }
  // The directory entry of a new output must be durable before the first input goes.
  if (copied == CopyResult::write_failed || !flush_to_storage(output) ||
      (index == 0 && !sync_directory_of(output_name))) {
    fail(stdout, "write %s failed\r\n", output_name);
  }
  remove_taken(input);
}

// ---------------------------------------------------------------------------------------
// Header split
// ---------------------------------------------------------------------------------------

// The size offset keeps the low 16 bits of a signed 32-bit decimal number.
std::uint32_t parse_size_offset(const char *text) {
  errno = 0;
  const long long value = std::strtoll(text, nullptr, 10);
  if (errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    fail(stdout, "size offset %s is out of range\r\n", text);
  }
  return static_cast<std::uint32_t>(value) & 0xFFFFU;
}

} // namespace

CopyResult copy_to_end(std::FILE *src, std::FILE *dst) {
#ifdef __linux__
  const CopyResult kernel = copy_in_kernel(src, dst);
  if (kernel != CopyResult::done) {
    return kernel;
  }
#endif
  return copy_blocks(src, dst);
}

void merge(const MergeFile_info *info) {
  const std::array<const char *, 2> inputs{info->file1_name, info->file2_name};
  const std::uint32_t count = std::min<std::uint32_t>(info->file_num, inputs.size());

  refuse_output_onto_input(info, inputs.data(), count);
  std::FILE *output = std::fopen(info->output_name, "wb+");
  if (output == nullptr) {
    fail(stderr, "Couldn't create the output file \"%s\"\n", info->output_name);
  }
  // A name that led nowhere (a dangling link) may lead to an input now that it exists.
  refuse_output_onto_input(info, inputs.data(), count);

  for (std::uint32_t i = 0; i < count; ++i) {
    append_input(output, info->output_name, inputs.at(i), i);
  }
  if (std::fclose(output) != 0) {
    fail(stdout, "write %s failed\r\n", info->output_name);
  }
}

void InitSplitFile_info(SplitFile_info *info, const char *const argv[]) {
  info->size_offset = parse_size_offset(argv[1]);
  info->src_name = argv[2];
  info->header_name = argv[3];
  info->body_name = argv[4];
  info->header_size =
      Get_4Byte_FromSize(info->src_name, static_cast<std::int32_t>(info->size_offset));
  std::printf("Header File Size:0x%.04x\r\n", static_cast<unsigned int>(info->header_size));
}

std::int32_t Get_4Byte_FromSize(const char *name, std::int32_t offset) {
  std::FILE *file = std::fopen(name, "rb+");
  if (file == nullptr) {
    fail(stderr, "I couldn't open the file \"%s\"\r\n", name);
  }
  std::array<unsigned char, 4> field{};
  const bool read = std::fseek(file, offset, SEEK_SET) == 0 &&
                    std::fread(field.data(), 1, field.size(), file) == field.size();
  std::fclose(file);
  if (!read) {
    fail(stdout, "read header size at offset %u of %s failed\r\n",
         static_cast<unsigned int>(offset), name);
  }
  const std::uint32_t value = field[0] | (field[1] << 8U) | (field[2] << 16U) |
                              (static_cast<std::uint32_t>(field[3]) << 24U);
  return static_cast<std::int32_t>(value);
}

void create_header_file(const SplitFile_info *info) {
  if (same_file(info->header_name, info->src_name)) {
    fail(stdout, "header file %s is the same file as source %s\r\n", info->header_name,
         info->src_name);
  }
  if (info->header_size < 0) {
    fail_line("malloc fail\r");
  }
  const auto size = static_cast<std::size_t>(info->header_size);
  const std::unique_ptr<unsigned char[]> header(new (std::nothrow) unsigned char[size]);
  if (!header) {
    fail_line("malloc fail\r");
  }

  std::FILE *source = std::fopen(info->src_name, "rb+");
  if (source == nullptr) {
    fail(stderr, "I couldn't open the file \"%s\"\r\n", info->src_name);
  }
  const std::size_t got = std::fread(header.get(), 1, size, source);
  const bool read = std::ferror(source) == 0;
  std::fclose(source);
  if (!read) {
    fail(stdout, "read %s failed\r\n", info->src_name);
  }
  // A header that runs past the end of the source is padded with 0xFF bytes.
  std::fill(header.get() + got, header.get() + size, 0xFF);

  std::FILE *header_file = std::fopen(info->header_name, "wb+");
  if (header_file == nullptr) {
    fail(stderr, "I couldn't open the file \"%s\"\n", info->header_name);
  }
  const bool written = std::fwrite(header.get(), 1, size, header_file) == size;
  if (!close_durably(header_file, info->header_name) || !written) {
    fail(stdout, "write %s failed\r\n", info->header_name);
  }
}

void remove_header_info_from_file(const SplitFile_info *info) {
  if (same_file(info->body_name, info->src_name)) {
    fail(stdout, "body file %s is the same file as source %s\r\n", info->body_name, info->src_name);
  }
  if (same_file(info->body_name, info->header_name)) {
    fail(stdout, "body file %s is the same file as header %s\r\n", info->body_name,
         info->header_name);
  }
  std::FILE *source = std::fopen(info->src_name, "rb+");
  std::FILE *body = std::fopen(info->body_name, "wb+");
  if (source == nullptr || body == nullptr) {
    fail_line("Open the file failure...\r");
  }
  const CopyResult copied = std::fseek(source, info->header_size, SEEK_SET) == 0
                                ? copy_to_end(source, body)
                                : CopyResult::read_failed;
  std::fclose(source);
  if (copied == CopyResult::read_failed) {
    fail(stdout, "read %s failed\r\n", info->src_name);
  }
  if (!close_durably(body, info->body_name) || copied == CopyResult::write_failed) {
    fail(stdout, "write %s failed\r\n", info->body_name);
  }
  remove_taken(info->src_name);
}

#ifndef PARSE_BIN_NO_MAIN
int main(int argc, char *argv[]) {
  std::puts("Append file begin...\r");
  if (argc != 4) {
    std::printf("[ERROR] input parameter num error, argc = %d\r\n", argc);
    std::fflush(stdout);
    std::fputs("usage: parse_bin FIRST_INPUT SECOND_INPUT OUTPUT\n", stderr);
    return 2;
  }
  const MergeFile_info request{argv[1], argv[2], static_cast<std::uint32_t>(argc - 2), argv[3]};
  std::printf("input file1 %s,input file2:%s,output file:%s\r\n", argv[1], argv[2], argv[3]);
  merge(&request);
  std::puts("Append file End!\r");
  return 0;
}
#endif
