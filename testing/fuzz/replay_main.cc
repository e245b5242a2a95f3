// Replays kept fuzz inputs through a target, deterministically, for the
// ordinary test command: each argument is an input file or a folder of them.
// An input that breaks an oracle or trips a sanitizer aborts the program, as
// it did under the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool isFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> inputsIn(const std::string& folder) {
  std::vector<std::string> paths;
  if (DIR* directory = opendir(folder.c_str())) {
    while (dirent* entry = readdir(directory)) {
      std::string path = folder + "/" + entry->d_name;
      if (entry->d_name[0] != '.' && !isFolder(path)) paths.push_back(path);
    }
    closedir(directory);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    if (isFolder(argv[i])) {
      std::vector<std::string> found = inputsIn(argv[i]);
      inputs.insert(inputs.end(), found.begin(), found.end());
    } else {
      inputs.push_back(argv[i]);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s INPUT_OR_FOLDER... (no input found)\n",
                 argv[0]);
    return 2;
  }
  for (const std::string& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 2;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(),
                 bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "replayed %zu inputs, every oracle held\n",
               inputs.size());
  return 0;
}
