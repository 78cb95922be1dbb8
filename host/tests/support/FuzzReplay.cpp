// Replays every file in the folders named on the command line, then an empty input, through a fuzz target.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
      if (entry.is_regular_file()) LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
  }
  LLVMFuzzerTestOneInput(nullptr, 0);  // the smallest case a parser must take
  return 0;
}
