// Do with random commands, option codes and scales against a simulated host
// whose slot-5 height image and map object have random small sizes, strides,
// depths and fixed-point sizes (always within the pixels the host really
// holds), with allocations failing and the disk filling up at random points.
//
// Checked after every call: no memory error, a result of -1, 0 or 1, nothing
// outstanding beyond the preview's kept blocks, and no failure reported as
// success: an export that returned 0 wrote exactly the map file its header
// promises, and one that ran out of disk returned 1.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "hostsim/hostsim.h"
#include "maps/preview.h"
#include "plugin/dispatcher.h"
#include "plugin/exports.h"
#include "plugin/state.h"
#include "services/test_seams.h"

using namespace kelvra;

namespace {

int64_t FileLength(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// An option code of valid letters, with a random byte now and then.
std::string RandomOptionCode(fuzz::Input& in) {
  std::string code = "XYZ";
  code += static_cast<char>('A' + in.Byte(0, 13));  // format, a little past 'L'
  code += static_cast<char>('A' + in.Byte(0, 5));   // mode, a little past 'D'
  code += in.Byte(0, 1) ? static_cast<char>('A' + in.Byte(0, 7))
                        : static_cast<char>('1' + in.Byte(0, 7));  // flags
  code += static_cast<char>('A' + in.Byte(0, 25));  // strength
  code += '_';
  for (int c = 0; c < 6; ++c) code += static_cast<char>('A' + in.Byte(0, 11));
  // Now and then one character is any byte at all.
  if (in.Byte(0, 3) == 0) {
    const char c = static_cast<char>(in.Byte(1, 255));
    code[static_cast<size_t>(in.Byte(0, 13))] = c == '/' ? '_' : c;
  }
  return code;
}

// Header and strip of the map file an export with this code and size writes.
int64_t MapFileLength(const std::string& code, int width, int height) {
  const int32_t letter = static_cast<signed char>(code[3]);
  const int32_t group = (letter - 'A') >> 2;
  const int64_t bytes = group == 0 ? 1 : group == 1 ? 2 : 4;
  const int64_t channels = ((letter - 1) & 2) != 0 ? 3 : 1;
  return (channels == 3 ? 241 : 229) + bytes * channels * width * height;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  static const std::string dir = fuzz::ScratchDir("do");
  const std::string tif = dir + "/map.tif";
  const std::string psd = dir + "/preview.psd";
  const std::string missing = dir + "/no/such/folder/map.tif";

  // Every input starts from the load-time state.
  seams::ResetAll();
  ResetPluginStateForTesting();
  ReleasePreviewForTesting();
  gExportScale = 1.0f;
  gExportPath[0] = 0;

  const int w = in.Byte(1, 40), h = in.Byte(1, 40);
  const int bits = in.Byte(0, 3) == 0 ? 32 : 16;
  const int stride = in.Byte(0, 1) ? w * (bits / 8) + 2 * in.Byte(0, 3) : -1;
  hostsim::SimImage image(w, h, bits, stride);
  for (size_t i = 0; i < image.byteCount(); ++i) image.bytes()[i] = in.Take<uint8_t>();
  if (in.Byte(0, 15) == 0) image.DropPixelPointer();
  if (in.Byte(0, 3) == 0) {
    // A fractional size, never more whole pixels than the host holds.
    image.SetSizeFixed(in.Range(0, w * 65536 + 65535), in.Range(0, h * 65536 + 65535));
  }

  hostsim::SimMapSource source;
  source.mapWidth = in.Byte(1, 24);
  source.mapHeight = in.Byte(1, 24);
  source.mapScaleFixed = in.Take<int32_t>();
  source.returnNull = in.Byte(0, 15) == 0;
  hostsim::SimContext ctx;
  ctx.SetSlot(4, source.record());
  if (in.Byte(0, 7) != 0) ctx.SetSlot(5, image.record());

  KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, ctx.table());
  fuzz::CheckNothingOutstanding();
  if (!source.made.empty()) {
    hostsim::SimMapObject& map = *source.made.back();
    for (int i = 0; i < map.width() * map.height(); ++i) map.samples()[i] = in.Take<uint16_t>();
    if (in.Byte(0, 15) == 0) map.DropPixelPointer();
  }

  char buf2[512];
  const int steps = in.Byte(1, 8);
  for (int s = 0; s < steps; ++s) {
    static const double kCommands[] = {-2.5, 0, 2, 3, 4, 10, 20, 21, 100, 101, 1e12, -0.0, 7, -1e-300};
    double value = kCommands[in.Byte(0, 13)];
    std::string text;
    const int kind = in.Byte(0, 4);
    if (kind == 0) {
      // A path, for the exports that follow.
      const int which = in.Byte(0, 5);
      text = which == 0 ? missing : which == 1 ? psd : tif;
      value = 2;
    } else if (kind <= 2) {
      text = RandomOptionCode(in);
      if (in.Byte(0, 7) == 0) text.resize(static_cast<size_t>(in.Byte(0, 13)));
    } else {
      const int len = in.Byte(0, 20);
      // Any bytes but '/', so that a text used as a path names a file in
      // the scratch folder and never one elsewhere on the machine.
      for (int i = 0; i < len; ++i) {
        const char c = static_cast<char>(in.Byte(1, 255));
        text.push_back(c == '/' ? '_' : c);
      }
    }
    // A random text that becomes the export path names a file in the
    // scratch folder, never one wherever the fuzzer was started (shorter
    // texts are refused as paths and stay as they are).
    if (value == 2 && kind != 0 && text.size() >= 5) text = dir + "/" + text;
    char* textArg = in.Byte(0, 15) == 0 ? nullptr : text.data();
    char* buf2Arg = in.Byte(0, 7) ? buf2 : nullptr;
    host::HostContext context = in.Byte(0, 15) ? ctx.table() : nullptr;

    // Failure injection for this call: an allocation, or the disk.
    const int fail = in.Byte(0, 15);
    int64_t budget = -1;
    if (fail == 1) seams::FailNthAllocation(in.Byte(1, 4));
    if (fail == 2) {
      budget = in.Range(0, 70000);
      seams::SetWriteBudget(budget);
    }
    std::remove(tif.c_str());
    const float r = KelvraDLL_Do(textArg, value, nullptr, 0, buf2Arg, 0, context);
    seams::FailNthAllocation(0);
    seams::SetWriteBudget(-1);
    fuzz::CheckNothingOutstanding();
    if (r != -1.0f && r != 0.0f && r != 1.0f) __builtin_trap();

    // A map export that reported success wrote the whole file.
    const bool mapExport = (value == 3 || value == 4) && context != nullptr;
    if (mapExport && r == 0.0f && std::strcmp(gExportPath, tif.c_str()) == 0) {
      const bool fromImage = value == 3;
      const int mw = fromImage ? host::ImageWidth(image.record()) : source.made.back()->width();
      const int mh = fromImage ? host::ImageHeight(image.record()) : source.made.back()->height();
      const int64_t expected = MapFileLength(text, mw, mh);
      if (FileLength(tif) != expected) __builtin_trap();
      if (budget >= 0 && budget < expected) __builtin_trap();
    }
    // A file written under any other name than the two above goes, so that
    // a long run does not pile up files.
    if (gExportPath[0] != 0 && tif != gExportPath && psd != gExportPath) std::remove(gExportPath);
    fuzz::Note(r == 0.0f ? "result 0" : r == 1.0f ? "result 1" : "result -1");
    if (mapExport && r == 0.0f) fuzz::Note("map written");
    if (value == 21 && r == 0.0f && PreviewTileForTesting() != nullptr) fuzz::Note("preview rendered");
  }
  KelvraDLL_ExportDisp32_DeleteMap(nullptr, 0, nullptr, 0, nullptr, 0, ctx.table());
  fuzz::CheckNothingOutstanding();
  if (!hostsim::ContractViolations().empty()) __builtin_trap();
  seams::ResetAll();
  return 0;
}
