#include <new>
#include <string>
#include <ostream>

#include "tools/kelvra-host/commands.h"

namespace kelvra::tool {

namespace {

const char kUsage[] =
    "usage: kelvra-host COMMAND [options]   (kelvra-host COMMAND --help for more)\n"
    "\n"
    "Plays the host for the Kelvra plug-in library: turns files into host records,\n"
    "calls the library through its exports and turns the results back into files.\n"
    "\n"
    "Commands:\n"
    "  render HEIGHTS -o OUT.tif   displacement or normal map from a height field\n"
    "  preview HEIGHTS -o OUT.psd  the 128 x 128 preview document of a map\n"
    "  edit IMAGE --mode N         open an image in the editor, merge its saves back\n"
    "  demo [-o DIR]               the main job on bundled input, into out/\n"
    "  --version                   the version of this program and of the library\n";

}  // namespace

int RunHost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Io io{out, err};
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::string& command = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  try {
    if (command == "render") return RunRender(rest, io);
    if (command == "preview") return RunPreview(rest, io);
    if (command == "edit") return RunEdit(rest, io);
    if (command == "demo") return RunDemo(rest, io);
  } catch (const std::bad_alloc&) {
    err << "kelvra-host " << command << ": out of memory\n";
    return 1;
  }
  if (command == "--version" || command == "version") {
    std::string error;
    const Library* lib = LoadKelvra(&error);
    if (lib == nullptr) {
      err << "kelvra-host: " << error << "\n";
      return 1;
    }
    const bool windows = std::string(BuildName()) == "Windows";
    out << "kelvra-host " << KELVRA_VERSION << " (" << BuildName() << " build)\n"
        << (windows ? "KelvraDLL.dll " : "library ") << LibraryVersion()
        << (windows ? ": loaded, all 17 exports resolved by name" : ": linked in") << "\n"
        << "files: " << ImageFormats() << "\n";
    return 0;
  }
  if (command == "help" || command == "--help" || command == "-h") {
    out << kUsage;
    return 0;
  }
  err << "kelvra-host: unknown command '" << command << "'\n" << kUsage;
  return 2;
}

}  // namespace kelvra::tool
