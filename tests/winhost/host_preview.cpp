// Host scenarios of the preview through the real DLL: command 2 sets the
// path, 20 samples a 256 x 256 height image, 21 renders and saves the tile
// as a flat document; the option preview flips with flags E; unreadable texts
// are refused.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "tests/winhost/check.h"
#include "tests/winhost/host_dll.h"

namespace kelvra::wintest {
namespace {

using hostsim::SimContext;
using hostsim::SimImage;

constexpr int kSide = 128;
constexpr size_t kPlane = kSide * kSide;

float DoCall(double value, const char* text, SimContext& ctx) {
  CallArgs a;
  a.text = text;
  a.value = value;
  a.context = ctx.table();
  return Call(TheDll().Do, a);
}

WT_SCENARIO(preview_1_sample_render_and_save) {
  // Heights of at least 300 (no first-pixel fix-up), different in every
  // sample of each 2 x 2 box.
  SimImage image(256, 256, 16);
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      image.samples16()[y * 256 + x] = static_cast<uint16_t>(300 + x * 211 + y * 47 + (x & y & 3));
    }
  }
  SimContext ctx;
  ctx.SetSlot(5, image.record());
  const std::string path = TempDirWin() + "\\preview.psd";
  DeleteFileA(path.c_str());
  WT_CHECK_EQ(DoCall(2, path.c_str(), ctx), 0.0f);
  WT_CHECK_EQ(DoCall(20, nullptr, ctx), 0.0f);
  WT_CHECK_EQ(DoCall(21, "xyz", ctx), -1.0f);
  WT_CHECK_EQ(DoCall(21, "xyzBAEK-EAAAA", ctx), -1.0f);  // option code of 13 characters
  WT_CHECK(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES);

  WT_CHECK_EQ(DoCall(21, "xyzA", ctx), 0.0f);
  const std::vector<uint8_t> upright = ReadAll(path);
  WT_CHECK_EQ(upright.size(), 40 + 3 * kPlane);
  if (upright.size() != 40 + 3 * kPlane) return;
  WT_CHECK(upright[0] == '8' && upright[1] == 'B' && upright[2] == 'P' && upright[3] == 'S');
  WT_CHECK_EQ(upright[13], 3);  // channels
  WT_CHECK_EQ(upright[25], 3);  // RGB
  // Each tile sample is its 2 x 2 box with the corner counted twice, over 5;
  // the simple preview shows it as grey, the height shifted right by 8.
  int wrong = 0;
  for (int j = 0; j < kSide; ++j) {
    for (int i = 0; i < kSide; ++i) {
      const uint16_t* s = image.samples16() + 2 * j * 256 + 2 * i;
      const uint32_t sample = (2u * s[0] + s[1] + s[256] + s[257]) / 5;
      for (int p = 0; p < 3; ++p) wrong += upright[40 + p * kPlane + j * kSide + i] != (sample >> 8);
    }
  }
  WT_CHECK_EQ(wrong, 0);

  // Format B with flags E: the same tile upside down.
  WT_CHECK_EQ(DoCall(21, "xyzBAEK-EAAAAA", ctx), 0.0f);
  const std::vector<uint8_t> flipped = ReadAll(path);
  WT_CHECK_EQ(flipped.size(), upright.size());
  if (flipped.size() != upright.size()) return;
  wrong = 0;
  for (int p = 0; p < 3; ++p) {
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        wrong += flipped[40 + p * kPlane + y * kSide + x] !=
                 upright[40 + p * kPlane + (kSide - 1 - y) * kSide + x];
      }
    }
  }
  WT_CHECK_EQ(wrong, 0);

  // A 32-bit image leaves the tile as it was.
  SimImage colour(64, 64, 32);
  ctx.SetSlot(5, colour.record());
  WT_CHECK_EQ(DoCall(20, nullptr, ctx), 0.0f);
  WT_CHECK_EQ(DoCall(21, "xyzA", ctx), 0.0f);
  WT_CHECK(ReadAll(path) == upright);
  DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace kelvra::wintest
