// Windows build: KelvraDLL.dll is loaded by name, as the host loads it, and
// every export is resolved by the exact name in its export table.
#include "tools/kelvra-host/library.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace kelvra::tool {
namespace {

// Do and the ExportDisp32_ family carry MSVC's decoration of the common
// frame; the other five are exported under their plain names.
#define KELVRA_DECORATED(name) "?" name "@@YAMPADN0H0HPAPAD@Z"

bool Resolve(HMODULE module, const char* name, ExportFn* fn, std::string* error) {
  FARPROC p = GetProcAddress(module, name);
  if (p == nullptr) {
    if (error->empty()) *error = std::string("KelvraDLL.dll has no export ") + name;
    return false;
  }
  *fn = reinterpret_cast<ExportFn>(reinterpret_cast<void*>(p));
  return true;
}

// The library's diagnostic notes. OutputDebugStringA raises
// DBG_PRINTEXCEPTION_C (length with terminator, then the text) for a
// debugger; a vectored handler sees it first and lets it go on to the
// debugger or the system-wide monitor as before.
std::vector<std::string>& Notes() {
  static std::vector<std::string> notes;
  return notes;
}

LONG CALLBACK CatchDiagnosticNote(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2) {
    const char* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
    static const char kPrefix[] = "KelvraDLL: ";
    if (text != nullptr && std::strncmp(text, kPrefix, sizeof kPrefix - 1) == 0) {
      Notes().push_back(text);
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

HMODULE gModule = nullptr;

const Library* LoadKelvra(std::string* error) {
  static Library lib;
  static bool loaded = false;
  if (loaded) return &lib;
  HMODULE module = LoadLibraryA("KelvraDLL.dll");
  if (module == nullptr) {
    *error = "cannot load KelvraDLL.dll (Windows error " +
             std::to_string(GetLastError()) +
             "); it must sit beside kelvra-host.exe or on the PATH";
    return nullptr;
  }
  std::string why;
  bool ok = Resolve(module, KELVRA_DECORATED("Do"), &lib.Do, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_filename"), &lib.filename, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_rayTraceMode"), &lib.rayTraceMode, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_smoothUV"), &lib.smoothUV, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_smooth"), &lib.smooth, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_imageWidth"), &lib.imageWidth, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_imageHeight"), &lib.imageHeight, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_accuracy"), &lib.accuracy, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_borderSize"), &lib.borderSize, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_optTileIndex"), &lib.optTileIndex, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_MakeMap"), &lib.MakeMap, &why);
  ok &= Resolve(module, KELVRA_DECORATED("ExportDisp32_DeleteMap"), &lib.DeleteMap, &why);
  ok &= Resolve(module, "SetUI", &lib.SetUI, &why);
  ok &= Resolve(module, "SetEditLinkPath", &lib.SetEditLinkPath, &why);
  ok &= Resolve(module, "LaunchEditor", &lib.LaunchEditor, &why);
  ok &= Resolve(module, "ReloadImage", &lib.ReloadImage, &why);
  ok &= Resolve(module, "ReleaseMemory", &lib.ReleaseMemory, &why);
  if (!ok) {
    *error = why;
    FreeLibrary(module);
    return nullptr;
  }
  // The module stays loaded for the life of the process, as in the host.
  gModule = module;
  AddVectoredExceptionHandler(1, CatchDiagnosticNote);
  loaded = true;
  return &lib;
}

const char* BuildName() { return "Windows"; }

const char* ImageFormats() {
  return "PNG (8/16-bit), PGM/PPM and raw 16-bit heights (.r16)";
}

std::string LibraryVersion() {
  if (gModule == nullptr) return "";
  HRSRC found = FindResourceA(gModule, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));  // RT_VERSION
  if (found == nullptr) return "";
  HGLOBAL handle = LoadResource(gModule, found);
  const auto* p = static_cast<const uint8_t*>(handle != nullptr ? LockResource(handle) : nullptr);
  const DWORD size = SizeofResource(gModule, found);
  if (p == nullptr) return "";
  // The fixed part starts with its signature on a 4-byte boundary; the file
  // version follows as two words of two 16-bit parts each, high part first.
  auto word = [p](DWORD at) {
    return uint32_t{p[at]} | uint32_t{p[at + 1]} << 8 | uint32_t{p[at + 2]} << 16 |
           uint32_t{p[at + 3]} << 24;
  };
  for (DWORD at = 0; at + 16 <= size; at += 4) {
    if (word(at) != 0xFEEF04BDu) continue;
    const uint32_t ms = word(at + 8), ls = word(at + 12);
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xffff) + "." +
           std::to_string(ls >> 16);
  }
  return "";
}

std::vector<std::string> TakeLibraryNotes() { return {}; }

std::vector<std::string> TakeDiagnosticNotes() {
  std::vector<std::string> notes;
  notes.swap(Notes());
  return notes;
}

bool UseOpener(const std::string&) { return false; }

}  // namespace kelvra::tool
