// RenderMap on small random fields with random arguments, to a file and to a
// raster. The raster is surrounded by guard bytes that must stay untouched.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "maps/render_map.h"

using namespace kelvra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  static const std::string path = std::string(fuzz::ScratchDir("render")) + "/map.tif";
  int32_t width = in.Range(-2, 48);
  int32_t height = in.Range(-2, 48);
  int32_t rowLength = width + in.Range(-1, 5);
  int32_t rows = height > 0 ? height : 0;
  // Exactly the samples the field's rows hold, so that a read past its last
  // row shows.
  std::vector<uint16_t> field(static_cast<size_t>(rowLength > 0 ? rowLength : 0) * rows);
  for (uint16_t& s : field) s = in.Take<uint16_t>();
  bool flip = in.Range(0, 1), smoothing = in.Range(0, 1), wrap = in.Range(0, 1);
  int32_t scaleMode = in.Range(-2, 5);
  float scale = in.Take<float>();
  int32_t channels = in.Range(0, 4);
  static const int32_t kBits[] = {8, 16, 32};
  int32_t bits = kBits[in.Range(0, 2)];
  int32_t c0 = in.Range(-5, 110), c1 = in.Range(-5, 110), c2 = in.Range(-5, 110);
  int32_t strength = in.Range(-15, 20);
  float ratio = in.Range(0, 3) == 0 ? in.Take<float>() : 1.0f;
  bool toRaster = in.Range(0, 1);

  if (toRaster) {
    if (width <= 0 || height <= 0 || rowLength < width) return 0;  // trusted by contract
    const size_t guard = 64;
    std::vector<uint8_t> raster(static_cast<size_t>(width) * height * 4 + 2 * guard, 0xA5);
    RenderMap(nullptr, field.data(), width, height, rowLength, flip, 0.5f, scaleMode, scale,
              channels, bits, c0, c1, c2, smoothing, wrap, strength, raster.data() + guard, ratio);
    for (size_t i = 0; i < guard; ++i) {
      if (raster[i] != 0xA5 || raster[raster.size() - 1 - i] != 0xA5) __builtin_trap();
    }
  } else {
    const int32_t result =
        RenderMap(path.c_str(), field.data(), width, height, rowLength, flip, 0.5f, scaleMode,
                  scale, channels, bits, c0, c1, c2, smoothing, wrap, strength, nullptr, ratio);
    // A map reported written is all there: its header and every row.
    if (result == 0 && (channels == 1 || channels == 3)) {
      struct stat st;
      const int64_t expected = (channels == 3 ? 241 : 229) +
                               static_cast<int64_t>(bits / 8) * channels * width * height;
      if (::stat(path.c_str(), &st) != 0 || st.st_size != expected) __builtin_trap();
    }
  }
  fuzz::CheckNothingOutstanding();
  return 0;
}
