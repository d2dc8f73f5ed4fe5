// Native build: the library is linked in and runs over the POSIX platform.
#include "tools/kelvra-host/library.h"

#include "plugin/exports.h"
#include "services/test_seams.h"

namespace kelvra::tool {

const Library* LoadKelvra(std::string*) {
  static const Library lib = [] {
    Library l;
    l.Do = &KelvraDLL_Do;
    l.filename = &KelvraDLL_ExportDisp32_filename;
    l.rayTraceMode = &KelvraDLL_ExportDisp32_rayTraceMode;
    l.smoothUV = &KelvraDLL_ExportDisp32_smoothUV;
    l.smooth = &KelvraDLL_ExportDisp32_smooth;
    l.imageWidth = &KelvraDLL_ExportDisp32_imageWidth;
    l.imageHeight = &KelvraDLL_ExportDisp32_imageHeight;
    l.accuracy = &KelvraDLL_ExportDisp32_accuracy;
    l.borderSize = &KelvraDLL_ExportDisp32_borderSize;
    l.optTileIndex = &KelvraDLL_ExportDisp32_optTileIndex;
    l.MakeMap = &KelvraDLL_ExportDisp32_MakeMap;
    l.DeleteMap = &KelvraDLL_ExportDisp32_DeleteMap;
    l.SetUI = &KelvraDLL_SetUI;
    l.SetEditLinkPath = &KelvraDLL_SetEditLinkPath;
    l.LaunchEditor = &KelvraDLL_LaunchEditor;
    l.ReloadImage = &KelvraDLL_ReloadImage;
    l.ReleaseMemory = &KelvraDLL_ReleaseMemory;
    return l;
  }();
  return &lib;
}

const char* BuildName() { return "native"; }

const char* ImageFormats() {
  return "PNG (8/16-bit), PGM/PPM, raw 16-bit heights (.r16) and 8/16-bit TIFF heights";
}

std::string LibraryVersion() { return KELVRA_VERSION; }

std::vector<std::string> TakeLibraryNotes() {
  std::vector<std::string> notes;
  for (const seams::NoteBoxShown& box : seams::NoteBoxes())
    notes.push_back(box.caption + ": " + box.text);
  seams::ClearNoteBoxes();
  return notes;
}

std::vector<std::string> TakeDiagnosticNotes() {
  std::vector<std::string> notes = seams::DiagnosticNotes();
  seams::ClearDiagnosticNotes();
  return notes;
}

bool UseOpener(const std::string& opener) {
  seams::SetShellLaunches(true, opener);
  return true;
}

}  // namespace kelvra::tool
