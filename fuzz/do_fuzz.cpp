// Do with random commands, option codes and scales against a simulated host
// whose slot-5 height image and map object have random small sizes.
#include <unistd.h>

#include <string>

#include "fuzz/fuzz_support.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "plugin/state.h"
#include "services/test_seams.h"

using namespace kelvra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  static const std::string dir = [] {
    char pattern[] = "/tmp/kelvra-fuzz-do-XXXXXX";
    char* made = mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  const std::string tif = dir + "/map.tif";
  const std::string psd = dir + "/preview.psd";

  int w = in.Range(1, 40), h = in.Range(1, 40);
  int bits = in.Range(0, 3) == 0 ? 32 : 16;
  hostsim::SimImage image(w, h, bits, in.Range(0, 1) ? w * (bits / 8) + 2 * in.Range(0, 3) : -1);
  for (size_t i = 0; i < image.byteCount(); ++i) image.bytes()[i] = in.Take<uint8_t>();
  if (in.Range(0, 15) == 0) image.DropPixelPointer();
  if (in.Range(0, 3) == 0) {
    // Random 16.16 sizes, but never beyond the pixels the buffer holds: the
    // 16-bit size fields that the exports read are these integer parts, the
    // preview samples by the fixed-point sizes, and a host never declares
    // pixels it does not have.
    const int32_t wf = in.Range(0, w * 65536);
    const int32_t hf = in.Range(0, h * 65536);
    image.SetSizeFixed(wf, hf);
  }

  hostsim::SimMapSource source;
  source.mapWidth = in.Range(1, 24);
  source.mapHeight = in.Range(1, 24);
  source.mapScaleFixed = in.Take<int32_t>();
  hostsim::SimContext ctx;
  ctx.SetSlot(4, source.record());
  if (in.Range(0, 7) != 0) ctx.SetSlot(5, image.record());

  KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, ctx.table());
  if (!source.made.empty()) {
    hostsim::SimMapObject& map = *source.made.back();
    for (int i = 0; i < map.width() * map.height(); ++i) map.samples()[i] = in.Take<uint16_t>();
  }

  char buf2[512];
  int steps = in.Range(1, 6);
  for (int s = 0; s < steps; ++s) {
    static const double kCommands[] = {-2.5, 0, 2, 3, 4, 10, 20, 21, 100, 101, 1e12, -0.0};
    double value = kCommands[in.Range(0, 11)];
    std::string text;
    int kind = in.Range(0, 3);
    if (kind == 0) {
      text = value == 21 ? psd : tif;
      value = 2;  // the path first, then an export
      KelvraDLL_Do(text.data(), value, nullptr, 0, buf2, 0, ctx.table());
      continue;
    }
    int len = in.Range(0, 20);
    for (int i = 0; i < len; ++i) text.push_back(static_cast<char>(in.Take<uint8_t>() | (kind == 1 ? 0 : 0x40)));
    char* textArg = in.Range(0, 9) == 0 ? nullptr : text.data();
    KelvraDLL_Do(textArg, value, nullptr, 0, in.Range(0, 5) ? buf2 : nullptr, 0,
                 in.Range(0, 15) ? ctx.table() : nullptr);
  }
  KelvraDLL_ExportDisp32_DeleteMap(nullptr, 0, nullptr, 0, nullptr, 0, ctx.table());
  return 0;
}
