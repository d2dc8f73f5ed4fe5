// The seventeen exports. Each has the host's common call frame:
//   float __cdecl F(char* text, double value, char* buf1, int size1,
//                   char* buf2, int size2, char** context)
// KelvraDLL.def publishes them under the names the host looks up: MSVC's
// decoration of that signature for Do and the ExportDisp32_ family, the plain
// name for the other five.
#pragma once

#define KELVRA_FRAME                                                     \
  char *text, double value, char *buf1, int size1, char *buf2, int size2, \
      char **context

extern "C" {
float KelvraDLL_Do(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_filename(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_rayTraceMode(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_smoothUV(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_smooth(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_imageWidth(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_imageHeight(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_accuracy(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_borderSize(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_optTileIndex(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_MakeMap(KELVRA_FRAME);
float KelvraDLL_ExportDisp32_DeleteMap(KELVRA_FRAME);
float KelvraDLL_SetUI(KELVRA_FRAME);
float KelvraDLL_SetEditLinkPath(KELVRA_FRAME);
float KelvraDLL_LaunchEditor(KELVRA_FRAME);
float KelvraDLL_ReloadImage(KELVRA_FRAME);
float KelvraDLL_ReleaseMemory(KELVRA_FRAME);
}
