// Calls merge with any input count, which the tool's command line always sets to 2:
//   merge_driver FILE_NUM FIRST SECOND OUTPUT
#include <parse_bin.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[]) {
  if (argc != 5) {
    std::fputs("usage: merge_driver FILE_NUM FIRST SECOND OUTPUT\n", stderr);
    return 2;
  }
  const MergeFile_info request{
      argv[2], argv[3], static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)), argv[4]};
  merge(&request);
  return 0;
}
