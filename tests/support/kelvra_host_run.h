// What the kelvra-host tests share: one fixture (a fresh folder, the
// library's kept state reset around each test), running the program
// in-process with its output captured, writing 16-bit height files, and
// reading a map file's samples back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "editorlink/editor_state.h"
#include "maps/preview.h"
#include "tests/support/test_env.h"
#include "tools/kelvra-host/commands.h"
#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

struct HostRun {
  int status;
  std::string out, err;
};

inline HostRun Host(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = RunHost(args, out, err);
  return {status, out.str(), err.str()};
}

// Each test runs as a freshly started program against a freshly loaded
// library: the preview tile and the editor link's mode and stamp, which the
// library keeps between calls, are reset before and released after, and the
// base fixture's resource accounting holds for the whole test.
class KelvraHostTest : public kelvra::testing::KelvraTest {
 protected:
  void SetUp() override {
    KelvraTest::SetUp();
    ReleasePreviewForTesting();
    ResetEditorStateForTesting();
  }
  void TearDown() override {
    ReleasePreviewForTesting();
    KelvraTest::TearDown();
  }
  // Between two runs inside one test, as between two starts of the program.
  void Restart() {
    ReleasePreviewForTesting();
    ResetEditorStateForTesting();
  }
  kelvra::testing::TempDir dir;
};

// A 16-bit PGM of `rows`, each row a list of samples.
inline void WritePgm(const std::string& path, const std::vector<std::vector<uint16_t>>& rows) {
  std::string head = "P5\n" + std::to_string(rows[0].size()) + " " + std::to_string(rows.size()) +
                     "\n65535\n";
  std::vector<uint8_t> bytes(head.begin(), head.end());
  for (const auto& row : rows) {
    for (uint16_t v : row) {
      bytes.push_back(static_cast<uint8_t>(v >> 8));
      bytes.push_back(static_cast<uint8_t>(v));
    }
  }
  kelvra::testing::WriteFileBytes(path, bytes);
}

// The samples of a map file after its header, as unsigned numbers (8 or 16
// bits) or floats.
inline std::vector<uint32_t> Samples(const std::string& path, int bits) {
  std::vector<uint8_t> b = kelvra::testing::ReadFileBytes(path);
  MapFileInfo info;
  std::string error;
  EXPECT_TRUE(InspectMapFile(path, &info, &error)) << error;
  std::vector<uint32_t> out;
  for (size_t i = info.dataOffset; i + bits / 8 <= b.size(); i += bits / 8) {
    uint32_t v = 0;
    for (int k = bits / 8 - 1; k >= 0; --k) v = v << 8 | b[i + k];
    out.push_back(v);
  }
  return out;
}

inline std::vector<float> Floats(const std::string& path) {
  std::vector<float> out;
  for (uint32_t v : Samples(path, 32)) {
    float f;
    std::memcpy(&f, &v, 4);
    out.push_back(f);
  }
  return out;
}

}  // namespace kelvra::tool
