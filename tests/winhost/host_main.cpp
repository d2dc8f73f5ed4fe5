#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tests/winhost/check.h"
#include "tests/winhost/host_dll.h"

extern "C" float KelvraCallShifted(void* fn, const uint32_t frame[8],
                                   uint32_t shift, uint32_t* report);

namespace kelvra::wintest {
namespace {

Dll gDll;
int gCallCount = 0;

ExportFn Resolve(HMODULE module, const char* name) {
  FARPROC p = GetProcAddress(module, name);
  if (p == nullptr) Fail(__FILE__, __LINE__, std::string("export missing: ") + name);
  return reinterpret_cast<ExportFn>(p);
}

#define KELVRA_DECORATED(name) "?" name "@@YAMPADN0H0HPAPAD@Z"

}  // namespace

const Dll& TheDll() { return gDll; }

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
