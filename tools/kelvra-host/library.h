// The library as kelvra-host sees it: the seventeen exports and nothing else.
//
// The native build links the library in; the Windows build loads
// KelvraDLL.dll by name and resolves every export by its exact name, as the
// host does. Everything else in the tool is the same source for both.
#pragma once

#include <string>
#include <vector>

namespace kelvra::tool {

// The common call frame of every export.
using ExportFn = float (*)(char* text, double value, char* buf1, int size1,
                           char* buf2, int size2, char** context);

struct Library {
  ExportFn Do = nullptr;
  ExportFn filename = nullptr;
  ExportFn rayTraceMode = nullptr;
  ExportFn smoothUV = nullptr;
  ExportFn smooth = nullptr;
  ExportFn imageWidth = nullptr;
  ExportFn imageHeight = nullptr;
  ExportFn accuracy = nullptr;
  ExportFn borderSize = nullptr;
  ExportFn optTileIndex = nullptr;
  ExportFn MakeMap = nullptr;
  ExportFn DeleteMap = nullptr;
  ExportFn SetUI = nullptr;
  ExportFn SetEditLinkPath = nullptr;
  ExportFn LaunchEditor = nullptr;
  ExportFn ReloadImage = nullptr;
  ExportFn ReleaseMemory = nullptr;
};

// Loads the library once per process and returns its exports, or null with
// a one-line reason in `error`.
const Library* LoadKelvra(std::string* error);

// Calls an export the way the host does: text, number and the context table;
// the two buffers are unused except buf2 for Do's output text.
float Call(ExportFn fn, const std::string& text, double value, char** context,
           char* buf2 = nullptr);
float Call(ExportFn fn, double value, char** context);

// Which build this is ("native" or "Windows"), for messages.
const char* BuildName();

// The version of the library in use, "major.minor.patch": on Windows read
// from the version resource of the loaded KelvraDLL.dll ("" when it carries
// none), natively the version this program was built with. Call after
// LoadKelvra succeeded.
std::string LibraryVersion();

// What this program reads and writes, for --version and help texts.
const char* ImageFormats();

// Message boxes the library raised since the last call, as "caption: text".
// The native build's platform records them; on Windows they were shown.
std::vector<std::string> TakeLibraryNotes();

// The library's diagnostic notes since the last call, one line each ("KelvraDLL:
// cannot merge PATH: REASON", "KelvraDLL: kept PATH as KEPT ..."). The native
// build's platform records them; on Windows they are caught as the DLL hands
// them to OutputDebugStringA, and still reach a debugger or DebugView.
std::vector<std::string> TakeDiagnosticNotes();

// The native platform's shell open only records the request; this makes it
// start `opener` with the document instead. Windows always asks the shell,
// so there this returns false.
bool UseOpener(const std::string& opener);

}  // namespace kelvra::tool
