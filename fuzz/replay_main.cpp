// Replays a fuzz target over every file of the folders (or files) named on
// the command line, without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      runs += RunFile(argv[i]);
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (dir == nullptr) continue;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      runs += RunFile(std::string(argv[i]) + "/" + e->d_name);
    }
    closedir(dir);
  }
  // An empty corpus still runs the target once on empty input.
  if (runs == 0) LLVMFuzzerTestOneInput(nullptr, 0), runs = 1;
  std::printf("replayed %d inputs\n", runs);
  return 0;
}
