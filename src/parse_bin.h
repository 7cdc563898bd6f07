// parse_bin: join files end to end, and cut a file into a header and a body.
//
// The command-line tool `parse_bin FIRST_INPUT SECOND_INPUT OUTPUT` is `main` in
// parse_bin.cpp, which calls `merge`. The same operations are offered to other programs
// through the `parse_bin::parse_bin` library, which is parse_bin.cpp built without `main`
// (PARSE_BIN_NO_MAIN):
//
//   find_package(parse_bin REQUIRED)
//   target_link_libraries(my_tool PRIVATE parse_bin::parse_bin)
//
//   #include <parse_bin.h>
//
//   const char *args[] = {"my_tool", "8", "image.bin", "image.hdr", "image.body"};
//   SplitFile_info split;
//   InitSplitFile_info(&split, args);    // reads the header length at offset 8, prints it
//   create_header_file(&split);          // image.hdr: the first header_size bytes
//   remove_header_info_from_file(&split); // image.body: the rest; then image.bin is deleted
//
// Every operation reports its own progress and failures on the console. On a failure it
// writes one message and ends the whole process with exit status 1; it never returns an error.
// A file that is deleted (an input of `merge`, the source of a split) is deleted only after
// every byte taken from it has been written, flushed and forced to stable storage.
#ifndef PARSE_BIN_H
#define PARSE_BIN_H

#include <cstdint>
#include <cstdio>

// The merge request: append `file_num` inputs, taken in order from `file1_name`,
// `file2_name`, to `output_name`. A `file_num` above 2 counts as 2.
struct MergeFile_info {
  const char *file1_name;
  const char *file2_name;
  std::uint32_t file_num;
  const char *output_name;
};

// The split descriptor, filled by InitSplitFile_info. The source holds, at byte
// `size_offset`, a 4-byte little-endian signed header length.
struct SplitFile_info {
  const char *src_name;
  const char *header_name;
  const char *body_name;
  std::int32_t header_size;
  std::uint32_t size_offset;
};

enum class CopyResult { done, read_failed, write_failed };

// Copies everything from `src`'s current position to its end into `dst` at `dst`'s current
// position, leaving `src` at its end and `dst` just after the copied bytes. Writes no message,
// closes neither stream, and uses a fixed amount of memory whatever the size. Bytes may still
// wait in `dst`'s buffer when it returns `done`.
CopyResult copy_to_end(std::FILE *src, std::FILE *dst);

// Creates (or truncates) the output, appends each input in full and deletes it. Refuses an
// output that is the same file as an input.
void merge(const MergeFile_info *info);

// Fills `info` from an argument vector: argv[1] the size offset as decimal text (its low 16
// bits are kept), argv[2] the source, argv[3] the header file, argv[4] the body file. Reads
// the header length from the source and prints it. argv[1] to argv[4] must exist.
void InitSplitFile_info(SplitFile_info *info, const char *const argv[]);

// Returns the 4-byte little-endian signed value at byte `offset` of the named file.
std::int32_t Get_4Byte_FromSize(const char *name, std::int32_t offset);

// Writes the source's first header_size bytes to the header file, padding with 0xFF bytes
// where the source is shorter. Leaves the source as it is.
void create_header_file(const SplitFile_info *info);

// Writes the source's bytes from header_size on to the body file, then deletes the source.
// Call it after create_header_file.
void remove_header_info_from_file(const SplitFile_info *info);

#endif
