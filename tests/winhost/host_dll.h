// The test host's view of KelvraDLL.dll: the seventeen exports resolved by
// their exact names, and a call through a 4-byte-aligned stack.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::wintest {

using ExportFn = float (*)(char*, double, char*, int, char*, int, char**);

struct Dll {
  ExportFn Do, filename, rayTraceMode, smoothUV, smooth, imageWidth,
      imageHeight, accuracy, borderSize, optTileIndex, MakeMap, DeleteMap,
      SetUI, SetEditLinkPath, LaunchEditor, ReloadImage, ReleaseMemory;
};

// Loaded once by main; every export resolved (a missing one fails the run).
const Dll& TheDll();

struct CallArgs {
  const char* text = nullptr;
  double value = 0.0;
  char* buf2 = nullptr;
  char** context = nullptr;
};

// Calls `fn` with the stack shifted off 16-byte alignment and checks the
// cdecl contract on return (stack balanced, callee-saved registers kept,
// exactly one x87 register holding the result).
float Call(ExportFn fn, const CallArgs& args);

// A folder for test files, as a Windows path (Z:\...) and as the Linux path.
std::string TempDirWin();

// The DLL's import of MessageBoxA is redirected to a counter, so scenarios
// can require that a call showed no box (or exactly one). False when the
// import could not be found and nothing is counted.
bool MessageBoxesCounted();
int MessageBoxesShown();
std::string LastMessageBoxText();

// An export called with a path, a value and the host's context.
float Export(ExportFn fn, const std::string& path, double value, char** context);

// Waits up to 30 s for the stand-in editor's report on `doc` (the path it
// was given, or a line starting "ERROR"); empty when none came.
std::string AwaitEditor(const std::string& doc);

}  // namespace kelvra::wintest
