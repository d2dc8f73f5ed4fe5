#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/winhost/check.h"
#include "tests/winhost/host_dll.h"

extern "C" float KelvraCallShifted(void* fn, const uint32_t frame[8],
                                   uint32_t shift, uint32_t* report);

namespace kelvra::wintest {
namespace {

Dll gDll;
int gCallCount = 0;
bool gBoxesCounted = false;
int gBoxes = 0;
std::string gLastBoxText;

int WINAPI CountingMessageBox(HWND, LPCSTR text, LPCSTR, UINT) {
  ++gBoxes;
  gLastBoxText = text != nullptr ? text : "";
  return IDOK;
}

// Points the module's import slot of `function` from `dll` at `replacement`.
bool RedirectImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  uint8_t* base = reinterpret_cast<uint8_t*>(module);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return false;
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       imp->Name != 0; ++imp) {
    if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (imp->OriginalFirstThunk != 0 ? imp->OriginalFirstThunk : imp->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) {
        return false;
      }
      slots->u1.Function = reinterpret_cast<DWORD_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      return true;
    }
  }
  return false;
}

ExportFn Resolve(HMODULE module, const char* name) {
  FARPROC p = GetProcAddress(module, name);
  if (p == nullptr) Fail(__FILE__, __LINE__, std::string("export missing: ") + name);
  return reinterpret_cast<ExportFn>(p);
}

#define KELVRA_DECORATED(name) "?" name "@@YAMPADN0H0HPAPAD@Z"

}  // namespace

const Dll& TheDll() { return gDll; }

bool MessageBoxesCounted() { return gBoxesCounted; }
int MessageBoxesShown() { return gBoxes; }
std::string LastMessageBoxText() { return gLastBoxText; }

float Export(ExportFn fn, const std::string& path, double value, char** context) {
  CallArgs a;
  a.text = path.c_str();
  a.value = value;
  a.context = context;
  return Call(fn, a);
}

std::string AwaitEditor(const std::string& doc) {
  const std::string marker = doc + ".opened";
  for (int tries = 0; tries < 600; ++tries) {  // 30 s
    if (FILE* f = std::fopen(marker.c_str(), "rb")) {
      char buf[2048];
      const size_t n = std::fread(buf, 1, sizeof buf, f);
      std::fclose(f);
      if (n > 0) return std::string(buf, n);
    }
    Sleep(50);
  }
  return "";
}

float Call(ExportFn fn, const CallArgs& a) {
  uint32_t frame[8];
  uint32_t value[2];
  std::memcpy(value, &a.value, sizeof value);
  frame[0] = reinterpret_cast<uint32_t>(a.text);
  frame[1] = value[0];
  frame[2] = value[1];
  frame[3] = 0;  // buf1: no export uses it
  frame[4] = 0;
  frame[5] = reinterpret_cast<uint32_t>(a.buf2);
  frame[6] = 0;
  frame[7] = reinterpret_cast<uint32_t>(a.context);
  // Walk the three misaligned positions in turn.
  uint32_t shift = 4u * (1u + static_cast<uint32_t>(gCallCount++ % 3));
  uint32_t report[2] = {1, 0};
  float result = KelvraCallShifted(reinterpret_cast<void*>(fn), frame, shift, report);
  if (report[0] != 0) Fail(__FILE__, __LINE__, "export broke the cdecl contract");
  // TOP = 7 after one push onto an empty x87 stack.
  uint32_t top = (report[1] >> 11) & 7;
  if (top != 7) Fail(__FILE__, __LINE__, "x87 stack not holding exactly the result");
  return result;
}

std::string TempDirWin() {
  char buf[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buf, buf);
  std::string dir(buf, n);
  dir += "kelvra-testhost";
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

}  // namespace kelvra::wintest

int main(int argc, char** argv) {
  using namespace kelvra::wintest;
  // An MSVC host runs the x87 unit at 53-bit precision.
  unsigned short cw = 0x027F;
  __asm__ volatile("fldcw %0" : : "m"(cw));

  HMODULE module = LoadLibraryA("KelvraDLL.dll");
  if (module == nullptr) {
    std::printf("cannot load KelvraDLL.dll (error %lu)\n0 passed, 1 failed\n",
                GetLastError());
    return 1;
  }
  gBoxesCounted = RedirectImport(module, "USER32.dll", "MessageBoxA",
                                 reinterpret_cast<void*>(&CountingMessageBox));
  gDll.Do = Resolve(module, KELVRA_DECORATED("Do"));
  gDll.filename = Resolve(module, KELVRA_DECORATED("ExportDisp32_filename"));
  gDll.rayTraceMode = Resolve(module, KELVRA_DECORATED("ExportDisp32_rayTraceMode"));
  gDll.smoothUV = Resolve(module, KELVRA_DECORATED("ExportDisp32_smoothUV"));
  gDll.smooth = Resolve(module, KELVRA_DECORATED("ExportDisp32_smooth"));
  gDll.imageWidth = Resolve(module, KELVRA_DECORATED("ExportDisp32_imageWidth"));
  gDll.imageHeight = Resolve(module, KELVRA_DECORATED("ExportDisp32_imageHeight"));
  gDll.accuracy = Resolve(module, KELVRA_DECORATED("ExportDisp32_accuracy"));
  gDll.borderSize = Resolve(module, KELVRA_DECORATED("ExportDisp32_borderSize"));
  gDll.optTileIndex = Resolve(module, KELVRA_DECORATED("ExportDisp32_optTileIndex"));
  gDll.MakeMap = Resolve(module, KELVRA_DECORATED("ExportDisp32_MakeMap"));
  gDll.DeleteMap = Resolve(module, KELVRA_DECORATED("ExportDisp32_DeleteMap"));
  gDll.SetUI = Resolve(module, "SetUI");
  gDll.SetEditLinkPath = Resolve(module, "SetEditLinkPath");
  gDll.LaunchEditor = Resolve(module, "LaunchEditor");
  gDll.ReloadImage = Resolve(module, "ReloadImage");
  gDll.ReleaseMemory = Resolve(module, "ReleaseMemory");
  int rc = RunAll(argc > 1 ? argv[1] : nullptr);
  FreeLibrary(module);
  return rc;
}
