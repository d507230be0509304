// SPDX-License-Identifier: Apache-2.0
// Runs a fuzz target's oracle over saved inputs, so its seeds guard every test run: a main for
// builds without libFuzzer. Usage: replay_<target> FOLDER...
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(in), {}};
      LLVMFuzzerTestOneInput(input.data(), input.size());
      ++inputs;
    }
  }
  return inputs > 0 ? 0 : 1;  // a folder that lost its seeds would test nothing
}
