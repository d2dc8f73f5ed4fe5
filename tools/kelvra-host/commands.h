// The commands of kelvra-host, and the host-side work they share.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "tools/kelvra-host/image_io.h"
#include "tools/kelvra-host/library.h"
#include "tools/kelvra-host/map_files.h"
#include "tools/kelvra-host/options.h"

namespace kelvra::tool {

struct Io {
  std::ostream& out;
  std::ostream& err;
};

// Entry point: args without the program name. Returns the exit status.
int RunHost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

int RunRender(const std::vector<std::string>& args, Io io);
int RunPreview(const std::vector<std::string>& args, Io io);
int RunEdit(const std::vector<std::string>& args, Io io);
int RunDemo(const std::vector<std::string>& args, Io io);

// ---- host-side work -------------------------------------------------------------

// The library takes paths of at most 1000 characters and at least 5.
bool CheckLibraryPath(const std::string& path, std::string* error);

struct MapOutcome {
  std::string code;
  MapFileInfo file;
  double milliseconds = 0;  // the export call alone
  std::vector<std::string> notes;
};

// Renders `heights` into the TIFF at `outPath` as the host does: the scale
// through a negative command number, the path through command 2, then
// command 3 on a slot-5 image, or with `viaMap` command 4 on a map object
// obtained through ExportDisp32_MakeMap. The file is written under a
// temporary name, checked, and renamed only when complete.
bool ExportMap(const Library& lib, const HeightField& heights, const MapOptions& options,
               const std::string& outPath, bool viaMap, MapOutcome* outcome,
               std::string* error);

struct PreviewOutcome {
  std::string code;
  FlatDocInfo file;
  double milliseconds = 0;  // commands 20 and 21
  std::vector<uint8_t> rgb; // the 128 x 128 picture, interleaved
  std::vector<std::string> notes;
};

// Commands 20 and 21: the 128 x 128 preview document at `outPath`.
bool ExportPreview(const Library& lib, const HeightField& heights, const MapOptions& options,
                   const std::string& outPath, PreviewOutcome* outcome, std::string* error);

// "123.4 ms" style, and "1.2 MB" style.
std::string FormatMilliseconds(double ms);
std::string FormatBytes(uint64_t bytes);

}  // namespace kelvra::tool
