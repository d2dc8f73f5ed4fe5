// The exported entry points: the common call frame around each operation.
//
// Every export runs with the SSE control state the library was built for
// (round to nearest, no flush to zero, exceptions masked), whatever the host
// left in MXCSR, so float results are the same bits in every host, and it
// restores the host's state on return.
#include "plugin/exports.h"

#include <xmmintrin.h>

#include "plugin/accounting.h"
#include "plugin/entry_points.h"
#include "plugin/state.h"

namespace {

class SseStateGuard {
 public:
  SseStateGuard() : saved_(_mm_getcsr()) { _mm_setcsr(0x1F80); }
  ~SseStateGuard() { _mm_setcsr(saved_); }
  SseStateGuard(const SseStateGuard&) = delete;
  SseStateGuard& operator=(const SseStateGuard&) = delete;

 private:
  unsigned int saved_;
};

float AsResult(int32_t status) { return static_cast<float>(status); }

}  // namespace

using namespace kelvra;

extern "C" {

float KelvraDLL_Do(KELVRA_FRAME) {
  ExportAccounting accounting("Do");
  SseStateGuard sse;
  return AsResult(RunDo(text, value, buf2, context));
}

float KelvraDLL_ExportDisp32_filename(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_filename");
  SetTextSetting(gFilename, kFilenameChars, text);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_rayTraceMode(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_rayTraceMode");
  gMapSettings.rayTraceMode = BooleanRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_smoothUV(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_smoothUV");
  gMapSettings.smoothUV = BooleanRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_smooth(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_smooth");
  gMapSettings.smooth = BooleanRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_imageWidth(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_imageWidth");
  gMapSettings.imageWidth = IntegerRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_imageHeight(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_imageHeight");
  gMapSettings.imageHeight = IntegerRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_accuracy(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_accuracy");
  gMapSettings.accuracy = IntegerRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_borderSize(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_borderSize");
  gMapSettings.borderSize = IntegerRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_optTileIndex(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_optTileIndex");
  gMapSettings.optTileIndex = IntegerRule(value);
  return 0.0f;
}

float KelvraDLL_ExportDisp32_MakeMap(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_MakeMap");
  return AsResult(MakeMap(context));
}

float KelvraDLL_ExportDisp32_DeleteMap(KELVRA_FRAME) {
  ExportAccounting accounting("ExportDisp32_DeleteMap");
  DeleteMap();
  return 0.0f;
}

float KelvraDLL_SetUI(KELVRA_FRAME) {
  ExportAccounting accounting("SetUI");
  RunSetUI(context);
  return 0.0f;
}

float KelvraDLL_SetEditLinkPath(KELVRA_FRAME) {
  ExportAccounting accounting("SetEditLinkPath");
  SetTextSetting(gEditLinkPath, kEditLinkPathChars, text);
  return 0.0f;
}

float KelvraDLL_LaunchEditor(KELVRA_FRAME) {
  ExportAccounting accounting("LaunchEditor");
  SseStateGuard sse;
  return AsResult(RunLaunchEditor(text, value, context));
}

float KelvraDLL_ReloadImage(KELVRA_FRAME) {
  ExportAccounting accounting("ReloadImage");
  SseStateGuard sse;
  return AsResult(RunReloadImage(text, context));
}

float KelvraDLL_ReleaseMemory(KELVRA_FRAME) {
  ExportAccounting accounting("ReleaseMemory");
  return AsResult(RunReleaseMemory());
}

}  // extern "C"
