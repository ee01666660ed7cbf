// Runs a fuzz target over a corpus, as a regression test of the normal
// build: every file of each directory given is passed to
// LLVMFuzzerTestOneInput once (after LLVMFuzzerInitialize, when the target
// has one). A fault aborts; otherwise prints how many inputs ran.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <corpus directory>...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int ran = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      // An exact heap copy: a read past the input is a read past the buffer.
      std::vector<uint8_t> exact(bytes);
      LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
      ++ran;
    }
  }
  if (ran == 0) {
    fprintf(stderr, "no inputs\n");
    return 1;
  }
  printf("%d inputs\n", ran);
  return 0;
}
