// The platform primitives behind the runtime services. Implemented once for
// Win32 (platform_win32.cpp) and once for the POSIX substitute
// (platform_posix.cpp); nothing outside services/ includes this header.
#pragma once

#include <cstdint>

#include "services/services.h"

namespace kelvra::platform {

void* HeapAlloc(uint32_t bytes);
void HeapFree(void* block);
void* PlainAlloc(uint32_t bytes);
void PlainFree(void* block);

// Modal information box, system-modal and foreground, no owner, OK only.
void NoteBox(const char* caption, const char* text);

// 0 on failure.
FileHandle Open(const char* path, bool readWrite);
// Creates a file that does not exist yet (read/write, no sharing); 0 on failure.
FileHandle CreateNew(const char* path);
int32_t Read(FileHandle file, void* dst, uint32_t bytes);
int32_t Write(FileHandle file, const void* src, uint32_t bytes);
// origin: 0 start, 1 current, 2 end. Returns the new position, or -1.
int32_t Seek(FileHandle file, int32_t offset, int origin);
void EndFileHere(FileHandle file);
int32_t Close(FileHandle file);

bool Exists(const char* path);
// Fails when something is at `to` already.
bool Rename(const char* from, const char* to);

struct CalendarTime {
  int year, month, day, hour, minute, second;
};
// Last-write time of an open file in UTC; false when it cannot be read.
bool LastWriteTimeUtc(FileHandle file, CalendarTime* out);

int32_t ClipboardGetText(char* dst);
int32_t ClipboardSetText(const char* src, uint32_t bytes);

int32_t ShellOpen(const char* path);

void DiagnosticNote(const char* text);

// Outstanding blocks and files, where the platform counts them.
ResourceCount Outstanding();
// An export call that left the counts other than `expected`.
void NoteResourceImbalance(const char* exportName, const ResourceCount& expected,
                           const ResourceCount& actual);

}  // namespace kelvra::platform
