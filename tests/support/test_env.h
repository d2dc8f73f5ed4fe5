// Shared helpers of the native unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "services/test_seams.h"

namespace kelvra::testing {

// A fresh, empty folder for one test's files; removed with the fixture.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);
// Sets the file's modification time `seconds` away from now, as a save that
// many seconds later would.
void SetFileTime(const std::string& path, int seconds);
// Runs a shell command; returns its exit status and stores its output.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Base fixture: resets every platform seam and the plug-in state before each
// test, and checks afterwards that nothing tracked, plain or open is left
// beyond what the test declared it keeps, and that no export call of the test
// returned with more or fewer blocks or files outstanding than the blocks the
// library keeps between calls explain.
class KelvraTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Blocks the library legitimately keeps between calls (preview tile and
  // raster, for instance); leak accounting allows these.
  int keptTrackedBlocks = 0;
  int keptPlainBlocks = 0;

 private:
  seams::Outstanding baseline_{};
};

}  // namespace kelvra::testing
