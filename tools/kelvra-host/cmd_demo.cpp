// demo: the main job on bundled input. Normal maps in both conventions, a
// 16-bit and a float displacement map, the preview and a layered editor
// document, each through the library's exports, into one folder with a
// picture of every map and a table of what was written.
#include <chrono>
#include <filesystem>
#include <ostream>

#include "hostsim/hostsim.h"
#include "tools/kelvra-host/commands.h"
#include "tools/kelvra-host/demo_input.h"
#include "tools/kelvra-host/host_records.h"

namespace kelvra::tool {
namespace {

struct Row {
  std::string file;
  std::string what;
  uint64_t bytes;
  double ms;  // < 0: no library call
};

std::string Pad(const std::string& s, size_t width) {
  return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

uint64_t FileBytes(const std::string& path) {
  std::error_code ec;
  uintmax_t n = std::filesystem::file_size(path, ec);
  return ec ? 0 : n;
}

const char kDemoHelp[] =
    "usage: kelvra-host demo [-o DIR] [--size N]\n"
    "\n"
    "Runs the main job on bundled input (a height field and a brick texture,\n"
    "generated the same way every time): normal maps in the OpenGL and DirectX\n"
    "conventions, a 16-bit and a float displacement map, the 128 x 128 preview and\n"
    "a layered editor document with a shading layer, all through the library's\n"
    "exports. Writes them into DIR (default out) with a picture of each map and\n"
    "prints a table of what was written, sizes and times.\n"
    "\n"
    "  -o, --output DIR   the folder to write (created when missing)\n"
    "  --size N           side of the generated input, 16..4096 (default 512)\n";

}  // namespace

int RunDemo(const std::vector<std::string>& args, Io io) {
  static const std::vector<OptionDef> optionDefs = {
      {"o", true}, {"output", true}, {"size", true}, {"help", false}, {"h", false}};
  auto fail = [&](const std::string& why, int status = 1) {
    io.err << "kelvra-host demo: " << why << "\n";
    return status;
  };
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, optionDefs, &parsed, &error))
    return fail(error + " (see kelvra-host demo --help)", 2);
  if (parsed.Has("help") || parsed.Has("h")) {
    io.out << kDemoHelp;
    return 0;
  }
  if (!parsed.positional.empty()) return fail("unexpected argument " + parsed.positional[0], 2);
  long size = 512;
  if (parsed.Has("size") && !ParseInt(parsed.Get("size"), "--size", 16, 4096, &size, &error))
    return fail(error, 2);
  std::string dir = parsed.Get("o", parsed.Get("output", "out"));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) return fail("cannot create the folder " + dir);
  const Library* lib = LoadKelvra(&error);
  if (lib == nullptr) return fail(error);
  auto in = [&](const std::string& name) { return dir + "/" + name; };
  std::vector<Row> rows;

  // The input, kept beside the results so that each can be rerun by hand.
  HeightField heights = MakeDemoHeights(static_cast<int>(size));
  ColorImage texture = MakeDemoTexture(static_cast<int>(size));
  ColorImage shaded = ShadeTexture(texture, heights);
  const std::string heightsFile = "heights.png";
  if (!WriteRaster(in(heightsFile), HeightFieldToRaster(heights), &error)) return fail(error);
  rows.push_back({heightsFile, "input: 16-bit height field", FileBytes(in(heightsFile)), -1});
  for (auto [name, image, what] :
       {std::tuple{"texture", &texture, "input: colour texture"},
        std::tuple{"shaded", &shaded, "input: the texture lit over the heights"}}) {
    std::string file = std::string(name) + ".png";
    if (!WriteColorImage(in(file), *image, &error)) return fail(error);
    rows.push_back({file, what, FileBytes(in(file)), -1});
  }

  struct MapJob {
    const char* file;
    const char* preset;
    int mode;
  };
  // Normal maps stretched to the field's steepest slope (mode 2); the
  // displacement maps keep the heights as they are (mode 0).
  static const MapJob jobs[] = {
      {"normal-opengl", "normal-opengl", 2},
      {"normal-directx", "normal-directx", 2},
      {"displacement16", "displacement16", 0},
      {"displacement-float", "displacement-float", 0},
  };
  MapOptions previewOptions;
  for (const MapJob& job : jobs) {
    ParsedArgs jobArgs;
    jobArgs.values["preset"] = job.preset;
    jobArgs.values["mode"] = std::to_string(job.mode);
    MapOptions options;
    if (!ResolveMapOptions(jobArgs, &options, &error)) return fail(error);
    if (job.file == std::string("normal-opengl")) previewOptions = options;
    std::string tif = std::string(job.file) + ".tif";
    MapOutcome outcome;
    if (!ExportMap(*lib, heights, options, in(tif), false, &outcome, &error)) return fail(error);
    rows.push_back({tif, DescribeMap(options) + ", code " + outcome.code,
                    outcome.file.fileBytes, outcome.milliseconds});
    std::string png = std::string(job.file) + ".png";
    if (!WriteMapView(in(tif), in(png), &error)) return fail(error);
    rows.push_back({png, "picture of " + tif, FileBytes(in(png)), -1});
  }

  PreviewOutcome preview;
  if (!ExportPreview(*lib, heights, previewOptions, in("preview.psd"), &preview, &error))
    return fail(error);
  rows.push_back({"preview.psd", "128 x 128 preview of normal-opengl, code " + preview.code,
                  preview.file.fileBytes, preview.milliseconds});
  {
    Raster view;
    view.width = view.height = 128;
    view.channels = 3;
    view.samples.assign(preview.rgb.begin(), preview.rgb.end());
    if (!WriteRaster(in("preview.png"), view, &error)) return fail(error);
    rows.push_back({"preview.png", "picture of preview.psd", FileBytes(in("preview.png")), -1});
  }

  // The editor link in mode 1: the texture as the host's main image under a
  // hard-light layer that turns it into the shaded image.
  std::unique_ptr<hostsim::SimImage> mainSim = MakeColorImage(texture);
  std::unique_ptr<hostsim::SimImage> shadedSim = MakeColorImage(shaded);
  mainSim->SetShadedImage(shadedSim.get());
  hostsim::SimDocument document;
  document.SetMainImage(mainSim.get());
  hostsim::SimContext context;
  context.SetSlot(host::slot::kDocument, document.record());
  std::string editorDoc = in("editor.psd");
  if (!CheckLibraryPath(editorDoc, &error)) return fail(error);
  std::filesystem::remove(editorDoc, ec);
  auto start = std::chrono::steady_clock::now();
  float launched = Call(lib->LaunchEditor, editorDoc, 1.0, context.table());
  double editorMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  Call(lib->ReleaseMemory, 0, context.table());
  for (const std::string& n : TakeLibraryNotes()) io.err << "kelvra-host demo: the library reports: " << n << "\n";
  uint64_t editorBytes = FileBytes(editorDoc);
  if (editorBytes == 0)
    return fail("the library did not write " + editorDoc + " (result " +
                std::to_string(static_cast<int>(launched)) + ")");
  rows.push_back({"editor.psd", "layered editor document, mode 1 (texture + shading layer)",
                  editorBytes, editorMs});

  io.out << "kelvra-host demo (" << BuildName() << " build): " << size << " x " << size
         << " input, results in " << dir << "/\n\n";
  size_t fileWidth = 6, whatWidth = 4;
  for (const Row& r : rows) {
    fileWidth = std::max(fileWidth, r.file.size() + 2);
    whatWidth = std::max(whatWidth, r.what.size() + 2);
  }
  io.out << Pad("file", fileWidth) << Pad("what", whatWidth) << Pad("size", 11) << "time\n";
  for (const Row& r : rows)
    io.out << Pad(r.file, fileWidth) << Pad(r.what, whatWidth) << Pad(FormatBytes(r.bytes), 11)
           << (r.ms < 0 ? "" : FormatMilliseconds(r.ms)) << "\n";
  io.out << "\n";
  if (launched != 0.0f)
    io.out << "editor.psd was written; the system did not open it (no program for .psd).\n";
  return 0;
}

}  // namespace kelvra::tool
