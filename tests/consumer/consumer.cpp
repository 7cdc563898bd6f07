// Splits a file it makes itself, then checks the two parts:
//   consumer DIRECTORY
#include <parse_bin.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {
std::string slurp(const std::string &name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
} // namespace

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::cerr << "usage: consumer DIRECTORY\n";
    return 2;
  }
  const std::string dir = argv[1];
  const std::string source = dir + "/image.bin";
  const std::string header = dir + "/image.hdr";
  const std::string body = dir + "/image.body";
  // A 6-byte header whose length field sits at byte 1.
  const std::string image("H\x06\x00\x00\x00Hbody bytes", 17);
  std::ofstream(source, std::ios::binary) << image;

  const char *args[] = {"consumer", "1", source.c_str(), header.c_str(), body.c_str()};
  SplitFile_info split{};
  InitSplitFile_info(&split, args);
  create_header_file(&split);
  remove_header_info_from_file(&split);

  const bool ok = split.header_size == 6 && slurp(header) == image.substr(0, 6) &&
                  slurp(body) == image.substr(6) && !std::ifstream(source);
  std::cout << (ok ? "consumer ok" : "consumer FAILED") << "\n";
  return ok ? 0 : 1;
}
