// render and preview: the map export as the host drives it through Do.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <sstream>

#include "hostsim/hostsim.h"
#include "tools/kelvra-host/commands.h"
#include "tools/kelvra-host/host_records.h"

namespace kelvra::tool {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Do's commands, by number.
constexpr double kSetPath = 2, kExportImage = 3, kExportMap = 4, kSampleTile = 20,
                 kRenderTile = 21;

const char kMapOptionsHelp[] =
    "Map options (they compose the option code):\n"
    "  --preset NAME        normal-opengl    8-bit RGB normal map, +Y up the image\n"
    "                                        (OpenGL, Blender, Unity, Godot): codes 50,80,90\n"
    "                       normal-directx   8-bit RGB normal map, +Y down the image\n"
    "                                        (DirectX): codes 50,70,90\n"
    "                       displacement16, displacement-float\n"
    "                       (single options below override the preset)\n"
    "  --normal             RGB normal map, codes 50,70,90, 8 bits (as normal-directx)\n"
    "  --displacement       grey displacement map, code 40, 16 bits (the default)\n"
    "  --bits 8|16|32       bits per sample; 32 writes float samples\n"
    "  --channels 1|3       channels\n"
    "  --codes A[,B,C]      channel codes 0..102 (40 displacement, 50 X, 60 -X,\n"
    "                       70 Y down, 80 Y up, 90 Z; see the README for the rest)\n"
    "  --mode 0..3          0 heights x strength; 1 x strength x scale;\n"
    "                       2 stretched to the full range; 3 stretched x scale\n"
    "  --strength -10..15   strength steps (-10: 1/11, 4: x2, 15: x4.75)\n"
    "  --scale S            user scale, above 0 (modes 1 and 3)\n"
    "  --smooth             3x3 smoothing of the heights\n"
    "  --wrap               edges wrap around (tiling textures)\n"
    "  --flip               flip vertically\n"
    "  --code CODE          a raw 14-character option code instead of the above\n";

void PrintNotes(const std::vector<std::string>& notes, std::ostream& err) {
  for (const std::string& n : notes) err << "kelvra-host: the library reports: " << n << "\n";
}

bool Fail(const std::string& why, const std::string& temp, std::string* error) {
  std::remove(temp.c_str());
  *error = why;
  return false;
}

std::string ScaleText(double scale) {
  std::ostringstream s;
  s << scale;
  return s.str();
}

}  // namespace

std::string FormatMilliseconds(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ms < 10 ? "%.2f ms" : ms < 1000 ? "%.1f ms" : "%.0f ms", ms);
  return buf;
}

std::string FormatBytes(uint64_t bytes) {
  char buf[32];
  if (bytes < 10000) {
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 10000000) {
    std::snprintf(buf, sizeof buf, "%.1f KB", bytes / 1024.0);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1048576.0);
  }
  return buf;
}

bool CheckLibraryPath(const std::string& path, std::string* error) {
  if (path.size() > 1000) {
    *error = "the path '" + path.substr(0, 40) + "...' is longer than the 1000 characters "
             "the library takes";
    return false;
  }
  if (path.size() < 5) {
    *error = "the library takes paths of at least 5 characters, not '" + path + "'";
    return false;
  }
  return true;
}

bool ExportMap(const Library& lib, const HeightField& heights, const MapOptions& options,
               const std::string& outPath, bool viaMap, MapOutcome* outcome,
               std::string* error) {
  std::string temp = outPath + ".part";
  if (!CheckLibraryPath(temp, error)) return false;
  std::string code = ComposeOptionCode(options);
  hostsim::SimContext context;
  std::unique_ptr<hostsim::SimImage> image;
  hostsim::SimMapSource source;
  if (viaMap) {
    double fixed = std::round(options.scale * 65536.0);
    if (fixed > 2147483647.0) {
      *error = "--scale " + ScaleText(options.scale) + " does not fit the map object's 16.16 scale";
      return false;
    }
    source.mapWidth = heights.width;
    source.mapHeight = heights.height;
    source.mapScaleFixed = static_cast<int32_t>(fixed);
    context.SetSlot(host::slot::kMapSource, source.record());
  } else {
    image = MakeHeightImage(heights);
    context.SetSlot(host::slot::kHeightImage, image->record());
  }
  char** ctx = context.table();

  // A negative command number sets the export scale to its magnitude.
  if (Call(lib.Do, -options.scale, ctx) != 0.0f) return Fail("the library refused the scale", temp, error);
  if (Call(lib.Do, temp, kSetPath, ctx) != 0.0f)
    return Fail("the library refused the export path " + temp, temp, error);

  float result;
  Clock::time_point start = Clock::now();
  if (viaMap) {
    // The host hands its map settings over, then asks for a map object and
    // fills it; the simulated host's map takes the file's heights.
    Call(lib.imageWidth, heights.width, ctx);
    Call(lib.imageHeight, heights.height, ctx);
    Call(lib.filename, outPath, 0, ctx);
    if (Call(lib.MakeMap, 0, ctx) != 0.0f || source.made.empty())
      return Fail("the library obtained no map object", temp, error);
    hostsim::SimMapObject& map = *source.made.back();
    std::copy(heights.samples.begin(), heights.samples.end(), map.samples());
    result = Call(lib.Do, code, kExportMap, ctx);
    Call(lib.DeleteMap, 0, ctx);
  } else {
    result = Call(lib.Do, code, kExportImage, ctx);
  }
  outcome->milliseconds = MillisecondsSince(start);
  outcome->code = code;
  outcome->notes = TakeLibraryNotes();
  if (result == -1.0f) return Fail("the library refused the export (result -1)", temp, error);
  if (result != 0.0f) {
    std::string why = "the library could not write " + outPath;
    if (!outcome->notes.empty()) why += " (" + outcome->notes.back() + ")";
    return Fail(why, temp, error);
  }
  std::string why;
  if (!std::filesystem::exists(temp))
    return Fail("the library reported success but wrote no file at " + temp, temp, error);
  if (!InspectMapFile(temp, &outcome->file, &why)) return Fail(why, temp, error);
  if (outcome->file.width != heights.width || outcome->file.height != heights.height)
    return Fail(temp + ": the map's size differs from the height field's", temp, error);
  if (!MoveIntoPlace(temp, outPath, &why)) return Fail(why, temp, error);
  return true;
}

bool ExportPreview(const Library& lib, const HeightField& heights, const MapOptions& options,
                   const std::string& outPath, PreviewOutcome* outcome, std::string* error) {
  std::string temp = outPath + ".part";
  if (!CheckLibraryPath(temp, error)) return false;
  std::string code = ComposeOptionCode(options);
  hostsim::SimContext context;
  std::unique_ptr<hostsim::SimImage> image = MakeHeightImage(heights);
  context.SetSlot(host::slot::kHeightImage, image->record());
  char** ctx = context.table();
  // Command 21 saves wherever an earlier document stood; start from none.
  std::remove(temp.c_str());
  if (Call(lib.Do, -options.scale, ctx) != 0.0f) return Fail("the library refused the scale", temp, error);
  if (Call(lib.Do, temp, kSetPath, ctx) != 0.0f)
    return Fail("the library refused the export path " + temp, temp, error);
  Clock::time_point start = Clock::now();
  float sampled = Call(lib.Do, kSampleTile, ctx);
  float result = Call(lib.Do, code, kRenderTile, ctx);
  outcome->milliseconds = MillisecondsSince(start);
  outcome->code = code;
  outcome->notes = TakeLibraryNotes();
  if (sampled != 0.0f || result != 0.0f)
    return Fail("the library could not render the preview (result " +
                    std::to_string(static_cast<int>(result)) + ")",
                temp, error);
  // The library does not report a failed save; the document itself tells.
  std::string why;
  if (!std::filesystem::exists(temp))
    return Fail("the library reported success but wrote no preview at " + temp, temp, error);
  if (!InspectFlatDocument(temp, &outcome->file, &outcome->rgb, &why)) {
    if (!outcome->notes.empty()) why += " (" + outcome->notes.back() + ")";
    return Fail(why, temp, error);
  }
  if (outcome->file.width != 128 || outcome->file.height != 128)
    return Fail(temp + ": the preview is not 128 x 128", temp, error);
  if (!MoveIntoPlace(temp, outPath, &why)) return Fail(why, temp, error);
  return true;
}

namespace {

struct MapCommand {
  const char* name;
  const char* usage;
  const char* summary;
  bool preview;
};

int RunMapCommand(const MapCommand& cmd, const std::vector<std::string>& args, Io io) {
  std::vector<OptionDef> optionDefs = MapOptionDefs();
  optionDefs.push_back({"o", true});
  optionDefs.push_back({"output", true});
  optionDefs.push_back({"view", true});
  optionDefs.push_back({"raw", true});
  optionDefs.push_back({"help", false});
  optionDefs.push_back({"h", false});
  if (cmd.preview) {
    optionDefs.push_back({"simple", false});
  } else {
    optionDefs.push_back({"via-map", false});
  }
  std::string prefix = std::string("kelvra-host ") + cmd.name + ": ";
  auto fail = [&](const std::string& why, int status = 1) {
    io.err << prefix << why << "\n";
    return status;
  };
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, optionDefs, &parsed, &error))
    return fail(error + " (see kelvra-host " + cmd.name + " --help)", 2);
  if (parsed.Has("help") || parsed.Has("h")) {
    io.out << "usage: " << cmd.usage << "\n\n" << cmd.summary << "\n\n" << kMapOptionsHelp;
    if (cmd.preview) {
      io.out << "  --simple             the plain grey preview of the heights\n";
    } else {
      io.out << "  --via-map            hand the heights over as the host's map object\n"
                "                       (ExportDisp32_MakeMap, command 4) instead of an image;\n"
                "                       then 8- and 16-bit maps use scale 1 and float maps the\n"
                "                       map object's scale (--scale)\n";
    }
    io.out << "Input:\n"
              "  HEIGHTS              a grey PNG or PGM (8 or 16 bits; 8-bit samples are\n"
              "                       widened), a grey TIFF (native build) or raw 16-bit\n"
              "  --raw WxH            HEIGHTS is raw little-endian 16-bit samples of this\n"
              "                       size; a .r16 file without --raw must be square\n"
              "Output:\n"
              "  -o, --output FILE    the document to write (required)\n"
              "  --view IMAGE.png     also write an 8-bit picture of the result\n";
    return 0;
  }
  if (parsed.positional.size() != 1)
    return fail(parsed.positional.empty() ? "no height field given (see --help)"
                                          : "one height field at a time, got " +
                                                std::to_string(parsed.positional.size()),
                2);
  std::string outPath = parsed.Get("o", parsed.Get("output"));
  if (outPath.empty()) return fail("no output given: add -o FILE", 2);
  std::string viewPath = parsed.Get("view");
  if (!viewPath.empty()) {
    if (Extension(viewPath) != ".png") return fail("--view writes a .png picture", 2);
  }
  MapOptions options;
  if (!ResolveMapOptions(parsed, &options, &error)) return fail(error, 2);
  if (parsed.Has("scale") && options.rawCode.empty() && (options.mode == 0 || options.mode == 2))
    io.err << prefix << "note: --scale has no effect in mode " << options.mode << "\n";

  RawSize raw;
  if (parsed.Has("raw") && !ParseRawSize(parsed.Get("raw"), &raw, &error)) return fail(error, 2);

  HeightField heights;
  if (!ReadHeightField(parsed.positional[0], &heights, &error, parsed.Has("raw") ? &raw : nullptr))
    return fail(error);
  const Library* lib = LoadKelvra(&error);
  if (lib == nullptr) return fail(error);

  if (cmd.preview) {
    PreviewOutcome outcome;
    bool ok = ExportPreview(*lib, heights, options, outPath, &outcome, &error);
    PrintNotes(outcome.notes, io.err);
    if (!ok) return fail(error);
    io.out << "wrote " << outPath << ": 128 x 128 "
           << (outcome.code[3] % 2 ? "simple preview of the heights"
                                   : "preview, " + DescribeMap(options))
           << ", from " << heights.width << " x " << heights.height << "\n"
           << "  option code " << outcome.code << ", scale " << ScaleText(options.scale)
           << ", " << FormatBytes(outcome.file.fileBytes) << ", "
           << FormatMilliseconds(outcome.milliseconds) << "\n";
    if (!viewPath.empty()) {
      Raster view;
      view.width = view.height = 128;
      view.channels = 3;
      view.samples.assign(outcome.rgb.begin(), outcome.rgb.end());
      if (!WriteRaster(viewPath, view, &error)) return fail(error);
      io.out << "wrote " << viewPath << "\n";
    }
    return 0;
  }

  MapOutcome outcome;
  bool ok = ExportMap(*lib, heights, options, outPath, parsed.Has("via-map"), &outcome, &error);
  PrintNotes(outcome.notes, io.err);
  if (!ok) return fail(error);
  const MapFileInfo& f = outcome.file;
  io.out << "wrote " << outPath << ": " << f.width << " x " << f.height << ", "
         << (options.rawCode.empty()
                 ? DescribeMap(options)
                 : std::to_string(f.channels) + " channel" + (f.channels == 1 ? "" : "s") +
                       " of " + std::to_string(f.bits) + (f.isFloat ? "-bit float" : "-bit"))
         << "\n"
         << "  option code " << outcome.code << ", scale " << ScaleText(options.scale)
         << (parsed.Has("via-map") ? ", through the map object" : "") << ", "
         << FormatBytes(f.fileBytes) << ", " << FormatMilliseconds(outcome.milliseconds) << "\n";
  if (!viewPath.empty()) {
    if (!WriteMapView(outPath, viewPath, &error)) return fail(error);
    io.out << "wrote " << viewPath << "\n";
  }
  return 0;
}

}  // namespace

int RunRender(const std::vector<std::string>& args, Io io) {
  static const MapCommand cmd = {
      "render", "kelvra-host render HEIGHTS -o OUT.tif [map options]",
      "Renders a displacement or normal map from a height field (see Input below)\n"
      "into an uncompressed TIFF, through Do\n"
      "commands 2 and 3 as the host does, and prints the option code, size and time.",
      false};
  return RunMapCommand(cmd, args, io);
}

int RunPreview(const std::vector<std::string>& args, Io io) {
  static const MapCommand cmd = {
      "preview", "kelvra-host preview HEIGHTS -o OUT.psd [map options] [--simple]",
      "Writes the 128 x 128 preview of a map as a flat Photoshop document, through Do\n"
      "commands 20 and 21 as the host does. With the same options as render it shows\n"
      "that map; --simple shows the heights as grey.",
      true};
  return RunMapCommand(cmd, args, io);
}

}  // namespace kelvra::tool
