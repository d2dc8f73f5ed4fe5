// edit: the editor link as a person uses it outside the host. The image
// becomes the host's main image; LaunchEditor writes the document and opens
// it; every save is merged back through ReloadImage and the image file is
// rewritten, with the original kept once as NAME.orig.EXT.
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <ostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "hostsim/hostsim.h"
#include "tools/kelvra-host/commands.h"
#include "tools/kelvra-host/host_records.h"

namespace kelvra::tool {
namespace {

namespace fs = std::filesystem;

volatile std::sig_atomic_t gStop = 0;
void OnInterrupt(int) { gStop = 1; }

void SleepMilliseconds(int ms) {
#ifdef _WIN32
  Sleep(static_cast<DWORD>(ms));
#else
  usleep(static_cast<useconds_t>(ms) * 1000);
#endif
}

struct FileState {
  bool exists = false;
  fs::file_time_type time{};
  uintmax_t size = 0;
  bool operator==(const FileState& o) const {
    return exists == o.exists && time == o.time && size == o.size;
  }
};

FileState StatFile(const std::string& path) {
  FileState s;
  std::error_code ec;
  s.time = fs::last_write_time(path, ec);
  if (ec) return s;
  s.size = fs::file_size(path, ec);
  s.exists = !ec;
  return s;
}

std::string WithoutExtension(const std::string& path) {
  std::string ext = Extension(path);
  return path.substr(0, path.size() - ext.size());
}

std::string DescribeMode(int mode) {
  switch (mode) {
    case 1: return "layered, image under a colour shading layer";
    case 2: return "layered, image under a grey shading layer";
    case 3: return "layered, image under a masked copy";
    case 4: return "flat, the shaded image";
    case 5: return "layered, shaded image under a masked copy";
    case 20: return "flat, the slot-6 image";
    case 100: return "opened only, not written";
    default: return "flat, the image";
  }
}

bool ModeNeedsShaded(int mode) { return mode == 1 || mode == 2 || mode == 4 || mode == 5; }
bool ModeNeedsMask(int mode) { return mode == 3 || mode == 5; }

#ifndef _WIN32
// The opener is run by a shell as "OPENER DOCUMENT"; its first word must be
// a program that exists, or the editor would silently never appear.
bool FindProgram(const std::string& opener, std::string* error) {
  std::string program = opener.substr(0, opener.find_first_of(" \t"));
  if (program.empty()) {
    *error = "--opener is empty";
    return false;
  }
  if (program.find('/') != std::string::npos) {
    if (access(program.c_str(), X_OK) == 0) return true;
  } else {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
      size_t colon = dirs.find(':', start);
      std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos
                                                                      : colon - start);
      if (access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0) return true;
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  *error = "cannot find the opener '" + program + "'; name another with --opener CMD";
  return false;
}
#endif

// Mask images are grey levels; the host's mask pixels are compared with the
// threshold as whole 32-bit numbers, so each holds its level 0..255.
void ToMaskLevels(ColorImage* mask) {
  for (uint32_t& p : mask->pixels) {
    uint32_t r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
    p = (r * 299 + g * 587 + b * 114 + 500) / 1000;
  }
}

const char kEditHelp[] =
    "usage: kelvra-host edit IMAGE [--mode N] [--shaded SHADED] [--mask MASK]\n"
    "                        [--threshold T] [--opener CMD] [--doc DOC.psd]\n"
    "                        [--once] [--timeout SECONDS]\n"
    "\n"
    "Writes IMAGE as an editor document through LaunchEditor, which opens it in the\n"
    "system's associated editor, then watches the document: each time it is saved the\n"
    "edits are merged back through ReloadImage and IMAGE is rewritten (the original is\n"
    "kept once as NAME.orig.EXT). Ends on Ctrl-C, or after the first save with --once.\n"
    "A document already at DOC that the library cannot read, or that was saved with\n"
    "colours not in IMAGE, is first kept beside it (doc.psd as doc.kept-1.psd, the\n"
    "first free number). Why a save cannot be merged, or why a document was kept, is\n"
    "printed as the library says it.\n"
    "\n"
    "Modes (--mode, default 0):\n"
    "  0          flat document of the image (also 6..19, 21..99, 30 and others)\n"
    "  1, 2       layered: the image under a shading layer built from --shaded\n"
    "             (1 colour, 2 grey); edit the bottom layer\n"
    "  3          layered: the image under a copy masked by --mask\n"
    "  4          flat document of --shaded; edits are carried into the image\n"
    "  5          as 3 with --shaded as the layers; edits carried into the image\n"
    "  20         flat document of the image as the host's slot-6 image\n"
    "  100        only opens an existing document\n"
    "\n"
    "Options:\n"
    "  --shaded FILE    the shaded image (modes 1, 2, 4, 5), same size as IMAGE\n"
    "  --mask FILE      the mask (modes 3, 5), read as grey levels 0..255\n"
    "  --threshold T    the masked layer shows where the mask is below T (default 128)\n"
    "  --opener CMD     the program that opens the document (native build; default\n"
    "                   xdg-open); Windows opens it with the program associated with .psd\n"
    "  --doc FILE       the document to write (default NAME.kelvra.psd beside IMAGE)\n"
    "  --once           end after the first save\n"
    "  --timeout S      stop watching after S seconds\n";

}  // namespace

int RunEdit(const std::vector<std::string>& args, Io io) {
  static const std::vector<OptionDef> optionDefs = {
      {"mode", true},   {"shaded", true}, {"mask", true},    {"threshold", true},
      {"opener", true}, {"doc", true},    {"once", false},   {"timeout", true},
      {"help", false},  {"h", false},
  };
  auto fail = [&](const std::string& why, int status = 1) {
    io.err << "kelvra-host edit: " << why << "\n";
    return status;
  };
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, optionDefs, &parsed, &error))
    return fail(error + " (see kelvra-host edit --help)", 2);
  if (parsed.Has("help") || parsed.Has("h")) {
    io.out << kEditHelp;
    return 0;
  }
  if (parsed.positional.size() != 1)
    return fail(parsed.positional.empty() ? "no image given (see --help)"
                                          : "one image at a time",
                2);
  long mode = 0, threshold = 128, timeout = 0;
  if (parsed.Has("mode") &&
      !ParseInt(parsed.Get("mode"), "--mode", -2147483647L - 1, 2147483647L, &mode, &error))
    return fail(error, 2);
  if (parsed.Has("threshold") &&
      !ParseInt(parsed.Get("threshold"), "--threshold", -2147483647L - 1, 2147483647L,
                &threshold, &error))
    return fail(error, 2);
  if (parsed.Has("timeout") &&
      !ParseInt(parsed.Get("timeout"), "--timeout", 1, 86400 * 365, &timeout, &error))
    return fail(error, 2);
  if (ModeNeedsShaded(static_cast<int>(mode)) && !parsed.Has("shaded"))
    return fail("mode " + std::to_string(mode) + " needs --shaded SHADED", 2);
  if (ModeNeedsMask(static_cast<int>(mode)) && !parsed.Has("mask"))
    return fail("mode " + std::to_string(mode) + " needs --mask MASK", 2);
#ifdef _WIN32
  if (parsed.Has("opener"))
    return fail("--opener is for the native build; Windows opens the document with the "
                "program associated with .psd files",
                2);
#endif

  const std::string imagePath = parsed.positional[0];
  const std::string docPath = parsed.Get("doc", WithoutExtension(imagePath) + ".kelvra.psd");
  if (!CheckLibraryPath(docPath, &error)) return fail(error, 2);
  if (Extension(imagePath) != ".png" && Extension(imagePath) != ".pgm" &&
      Extension(imagePath) != ".ppm" && Extension(imagePath) != ".pnm")
    return fail(imagePath + ": edit rewrites its image and writes .png, .pgm or .ppm only", 2);

  ColorImage image, shadedImage, maskImage;
  if (!ReadColorImage(imagePath, &image, &error)) return fail(error);
  auto sameSize = [&](const ColorImage& other, const std::string& path) {
    if (other.width == image.width && other.height == image.height) return true;
    error = path + " is " + std::to_string(other.width) + " x " + std::to_string(other.height) +
            ", the image " + std::to_string(image.width) + " x " + std::to_string(image.height);
    return false;
  };
  if (parsed.Has("shaded")) {
    if (!ReadColorImage(parsed.Get("shaded"), &shadedImage, &error)) return fail(error);
    if (!sameSize(shadedImage, parsed.Get("shaded"))) return fail(error);
  } else {
    // The reload needs a shaded image in every mode; modes that do not use
    // it get the image itself.
    shadedImage = image;
  }
  if (parsed.Has("mask")) {
    if (!ReadColorImage(parsed.Get("mask"), &maskImage, &error)) return fail(error);
    if (!sameSize(maskImage, parsed.Get("mask"))) return fail(error);
    ToMaskLevels(&maskImage);
  }
  if (mode == 100 && !StatFile(docPath).exists)
    return fail("mode 100 only opens an existing document, and " + docPath + " does not exist",
                2);
  const Library* lib = LoadKelvra(&error);
  if (lib == nullptr) return fail(error);
#ifndef _WIN32
  std::string opener = parsed.Get("opener", "xdg-open");
  if (!FindProgram(opener, &error)) return fail(error);
  UseOpener(opener);
#endif

  // The host's records: the image is the main image and also fills slots 5
  // and 6, which modes 30 and 20 merge into.
  std::unique_ptr<hostsim::SimImage> mainSim = MakeColorImage(image);
  std::unique_ptr<hostsim::SimImage> shadedSim = MakeColorImage(shadedImage);
  std::unique_ptr<hostsim::SimImage> maskSim;
  mainSim->SetShadedImage(shadedSim.get());
  if (parsed.Has("mask")) {
    maskSim = MakeColorImage(maskImage);
    mainSim->SetMaskSource(maskSim.get());
  }
  hostsim::SimDocument document;
  document.SetMainImage(mainSim.get());
  document.SetMaskThreshold(static_cast<int32_t>(threshold));
  hostsim::SimContext context;
  context.SetSlot(host::slot::kDocument, document.record());
  context.SetSlot(host::slot::kHeightImage, mainSim->record());
  context.SetSlot(host::slot::kImage6, mainSim->record());
  char** ctx = context.table();

  // Ctrl-C ends the session from here on, also while the document is still
  // being written and opened: the watch below then does not start.
  gStop = 0;
  void (*previous)(int) = std::signal(SIGINT, OnInterrupt);
  Call(lib->SetEditLinkPath, docPath, 0, ctx);
  FileState before = StatFile(docPath);
  float launched = Call(lib->LaunchEditor, docPath, static_cast<double>(mode), ctx);
  for (const std::string& n : TakeLibraryNotes()) io.err << "kelvra-host edit: the library reports: " << n << "\n";
  // A document of the user's that the export would have replaced is kept
  // beside it; the note names the copy.
  for (const std::string& n : TakeDiagnosticNotes()) io.err << n << "\n";
  FileState last = StatFile(docPath);
  if (!last.exists) {
    Call(lib->ReleaseMemory, 0, ctx);
    std::signal(SIGINT, previous);
    return fail("the library did not write " + docPath + " (result " +
                std::to_string(static_cast<int>(launched)) + ")");
  }
  bool written = !(last == before);
  io.out << (mode == 100 ? "opening " : written ? "wrote " : "kept ") << docPath << " ("
         << DescribeMode(static_cast<int>(mode)) << (written || mode == 100 ? "" : "; unchanged")
         << ")\n";
  if (launched != 0.0f)
    io.err << "kelvra-host edit: the system did not open " << docPath
           << " (no program for .psd files?); open it yourself, saves are still merged\n";
  io.out << "watching " << docPath << " for saves; "
         << (parsed.Has("once") ? "ends after the first" : "Ctrl-C ends") << "\n";
  io.out.flush();

  const std::string backupPath = WithoutExtension(imagePath) + ".orig" + Extension(imagePath);
  bool backedUp = false;
  int status = 0;
  int saves = 0;
  std::time_t deadline = timeout > 0 ? std::time(nullptr) + timeout : 0;
  while (!gStop) {
    if (deadline != 0 && std::time(nullptr) >= deadline) {
      if (parsed.Has("once") && saves == 0) {
        io.err << "kelvra-host edit: no save within " << timeout << " s\n";
        status = 1;
      }
      break;
    }
    SleepMilliseconds(200);
    FileState now = StatFile(docPath);
    if (now == last) continue;
    // Editors write in pieces: wait until the file holds still.
    for (int i = 0; i < 50 && !gStop; ++i) {
      SleepMilliseconds(150);
      FileState again = StatFile(docPath);
      if (again == now) break;
      now = again;
    }
    last = now;
    if (!now.exists) {
      io.out << docPath << " was removed; waiting for it to come back\n";
      continue;
    }
    ++saves;
    std::vector<uint32_t> beforeMerge = image.pixels;
    float merged = Call(lib->ReloadImage, docPath, 0, ctx);
    for (const std::string& n : TakeLibraryNotes()) io.err << "kelvra-host edit: the library reports: " << n << "\n";
    // Why the library cannot merge this save, in its own words; it says so
    // once per save.
    const std::vector<std::string> notes = TakeDiagnosticNotes();
    for (const std::string& n : notes) io.err << n << "\n";
    if (merged == -1.0f) {
      if (notes.empty())
        io.err << "kelvra-host edit: cannot merge the saved " << docPath
               << " (the library gives its reason once per save, and gave it before)\n";
      if (parsed.Has("once")) {
        status = 1;
        break;
      }
      continue;
    }
    ReadBackColor(*mainSim, &image);
    size_t changed = 0;
    for (size_t i = 0; i < image.pixels.size(); ++i) changed += image.pixels[i] != beforeMerge[i];
    if (changed == 0) {
      io.out << (notes.empty() ? "saved; no colour changes to merge\n" : "saved; nothing merged\n");
    } else {
      if (!backedUp && !StatFile(backupPath).exists) {
        std::vector<uint8_t> original;
        if (!ReadWholeFile(imagePath, &original, &error) ||
            !WriteFileAtomically(backupPath, original, &error)) {
          io.err << "kelvra-host edit: " << error << "; " << imagePath << " left as it was\n";
          status = 1;
          break;
        }
        io.out << "kept the original as " << backupPath << "\n";
      }
      backedUp = true;
      if (!WriteColorImage(imagePath, image, &error)) {
        io.err << "kelvra-host edit: " << error << "\n";
        status = 1;
        break;
      }
      io.out << "merged " << changed << " changed pixel" << (changed == 1 ? "" : "s")
             << " into " << imagePath << "\n";
    }
    io.out.flush();
    if (parsed.Has("once")) break;
  }
  std::signal(SIGINT, previous);
  Call(lib->ReleaseMemory, 0, ctx);
  return status;
}

}  // namespace kelvra::tool
