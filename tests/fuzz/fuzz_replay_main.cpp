// Runs the fuzz target once over every file named on the command line (or in
// the directories named there): the seed corpus as a regression test, with any
// compiler.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int failures = 0, files = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (::stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode)) {
      DIR* dir = ::opendir(argv[i]);
      while (dirent* e = dir != nullptr ? ::readdir(dir) : nullptr) {
        if (e->d_name[0] == '.') continue;
        failures += RunFile(std::string(argv[i]) + "/" + e->d_name);
        ++files;
      }
      if (dir != nullptr) ::closedir(dir);
    } else {
      failures += RunFile(argv[i]);
      ++files;
    }
  }
  std::printf("replayed %d inputs\n", files);
  return failures == 0 && files > 0 ? 0 : 1;
}
