// Splits a file the way a program using the library would:
//   split_driver SIZE_OFFSET SOURCE HEADER BODY
#include <parse_bin.h>

#include <cstdio>

int main(int argc, char *argv[]) {
  if (argc != 5) {
    std::fputs("usage: split_driver SIZE_OFFSET SOURCE HEADER BODY\n", stderr);
    return 2;
  }
  SplitFile_info split{};
  InitSplitFile_info(&split, argv);
  create_header_file(&split);
  remove_header_info_from_file(&split);
  return 0;
}
