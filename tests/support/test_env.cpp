#include "tests/support/test_env.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "plugin/state.h"
#include "services/test_seams.h"

namespace kelvra::testing {

TempDir::TempDir() {
  char pattern[] = "/tmp/kelvra-test-XXXXXX";
  char* made = mkdtemp(pattern);
  path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
  if (path_ != "/tmp") RunCommand("rm -rf '" + path_ + "'");
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void SetFileTime(const std::string& path, int seconds) {
  struct utimbuf t;
  t.actime = t.modtime = time(nullptr) + seconds;
  ASSERT_EQ(utime(path.c_str(), &t), 0) << path;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int RunCommand(const std::string& command, std::string* output) {
  std::string full = command + " 2>&1";
  FILE* pipe = ::popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void KelvraTest::SetUp() {
  seams::ResetAll();
  ResetPluginStateForTesting();
  baseline_ = seams::Resources();
}

void KelvraTest::TearDown() {
  for (const seams::ExportImbalance& e : seams::ExportImbalances()) {
    ADD_FAILURE() << e.exportName << " returned with tracked/plain/files "
                  << e.actual.trackedBlocks << "/" << e.actual.plainBlocks << "/"
                  << e.actual.openFiles << " outstanding, expected "
                  << e.expected.trackedBlocks << "/" << e.expected.plainBlocks << "/"
                  << e.expected.openFiles;
  }
  seams::Outstanding left = seams::Resources();
  EXPECT_EQ(left.openFiles, baseline_.openFiles) << "files left open";
  EXPECT_EQ(left.trackedBlocks, baseline_.trackedBlocks + keptTrackedBlocks)
      << "tracked blocks left";
  EXPECT_EQ(left.plainBlocks, baseline_.plainBlocks + keptPlainBlocks)
      << "plain blocks left";
  seams::ResetAll();
}

}  // namespace kelvra::testing
