// Feeds every file of the given corpus folders to a fuzz target once, in name
// order: the seed corpus runs as an ordinary test with any compiler. Each
// file's name is printed before it runs, so a crash names its input. Exit
// status 0 when every input was handled (a crash ends the program), 1 for an
// empty corpus, 2 for a folder that cannot be read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec))
      if (entry.is_regular_file()) files.push_back(entry.path());
    if (ec) {
      std::fprintf(stderr, "cannot read corpus folder %s\n", argv[i]);
      return 2;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::printf("%s\n", file.filename().string().c_str());
      std::fflush(stdout);
      std::ifstream in(file, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++count;
    }
  }
  std::printf("%zu corpus inputs replayed\n", count);
  return count == 0 ? 1 : 0;
}
