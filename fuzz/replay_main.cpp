// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Runs the fuzz target over files and directories of inputs, for builds without libFuzzer:
// the corpus and every past crash are replayed by the test suite.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int Replay(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) {
    int n = 0;
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') n += Replay(path + "/" + entry->d_name);
      }
      closedir(dir);
    }
    return n;
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int n = 0;
  for (int i = 1; i < argc; ++i) n += Replay(argv[i]);
  printf("replayed %d inputs\n", n);
  return n > 0 ? 0 : 1;
}
