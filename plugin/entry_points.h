// The work behind each export, as integer statuses. exports.cpp turns them
// into the float results the host reads.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kelvra {

int32_t RunDo(const char* text, double value, char* buf2,
              host::HostContext context);                           // plugin/dispatcher.cpp
int32_t RunSetUI(host::HostContext context);                       // plugin/setui.cpp
int32_t RunLaunchEditor(const char* path, double value,
                        host::HostContext context);                // editorlink/
int32_t RunReloadImage(const char* path, host::HostContext context);  // editorlink/
int32_t RunReleaseMemory();                                         // editorlink/

}  // namespace kelvra
