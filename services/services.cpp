// The platform-independent half of the runtime services: the failure notes,
// the once-per-open write report, FileSize's position keeping and the stamp
// formula. The platform primitives come from platform.h.
#include "services/services.h"

#include "services/platform.h"

namespace kelvra {

namespace {

// Limits the short-write report to one box between two opens.
constinit bool gWriteErrorShown = false;

}  // namespace

bool SizeFits(uint64_t bytes) {
  return bytes <= UINT32_MAX && bytes <= SIZE_MAX;
}

void* TrackedAlloc(uint64_t bytes, const char* tag) {
  void* block = SizeFits(bytes)
                    ? platform::HeapAlloc(static_cast<uint32_t>(bytes))
                    : nullptr;
  if (block == nullptr) platform::NoteBox(kMemoryNoteCaption, tag);
  return block;
}

void TrackedFree(void* block) {
  if (block != nullptr) platform::HeapFree(block);
}

void* PlainAlloc(uint64_t bytes) {
  return SizeFits(bytes) ? platform::PlainAlloc(static_cast<uint32_t>(bytes))
                         : nullptr;
}

void PlainFree(void* block) {
  if (block != nullptr) platform::PlainFree(block);
}

bool WriteErrorShown() { return gWriteErrorShown; }

FileHandle FileOpen(const char* path, bool readWrite) {
  gWriteErrorShown = false;
  // No path names no file; the platform's open is never handed a null.
  if (path == nullptr) return 0;
  return platform::Open(path, readWrite);
}

FileHandle FileOpenOrCreate(const char* path, bool write) {
  gWriteErrorShown = false;
  if (path == nullptr) return 0;
  FileHandle file = platform::Open(path, write);
  if (file != 0) return file;
  return write ? platform::CreateNew(path) : 0;
}

int32_t FileRead(FileHandle file, void* dst, uint32_t bytes) {
  return platform::Read(file, dst, bytes);
}

int32_t FileWriteChecked(FileHandle file, const void* src, uint32_t bytes) {
  int32_t written = platform::Write(file, src, bytes);
  if (written < 0 || static_cast<uint32_t>(written) != bytes) {
    if (!gWriteErrorShown) platform::NoteBox(kWriteErrorCaption, kWriteErrorText);
    gWriteErrorShown = true;
  }
  return written;
}

int32_t FileSize(FileHandle file) {
  int32_t here = platform::Seek(file, 0, 1);
  int32_t end = platform::Seek(file, 0, 2);
  if (end != here) platform::Seek(file, here, 0);
  return end;
}

int32_t FileSeek(FileHandle file, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT32_MAX)) return -1;
  return platform::Seek(file, static_cast<int32_t>(offset), 0);
}

int32_t FileClose(FileHandle file, bool truncate) {
  if (truncate) platform::EndFileHere(file);
  return platform::Close(file);
}

int32_t StampFromFields(int year, int month, int day, int hour, int minute,
                        int second) {
  // Every month counts 31 days and every year 365 x 31: the stamp is no count
  // of seconds and wraps from 2003 on. Callers only compare stamps of one file
  // for equality. Unsigned arithmetic gives the two's-complement wrap without
  // undefined behaviour.
  uint32_t s = static_cast<uint32_t>(year - 2000);
  s = s * 365u + static_cast<uint32_t>(month);
  s = s * 31u + static_cast<uint32_t>(day);
  s = s * 24u + static_cast<uint32_t>(hour);
  s = s * 60u + static_cast<uint32_t>(minute);
  s = s * 60u + static_cast<uint32_t>(second);
  return static_cast<int32_t>(s);
}

int32_t FileTimeStamp(const char* path) {
  gWriteErrorShown = false;
  if (path == nullptr) return 0;
  FileHandle file = platform::Open(path, false);
  if (file == 0) return 0;
  platform::CalendarTime t{};
  bool ok = platform::LastWriteTimeUtc(file, &t);
  platform::Close(file);
  if (!ok) return 0;
  return StampFromFields(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

bool FileExists(const char* path) { return path != nullptr && platform::Exists(path); }

bool FileRename(const char* from, const char* to) {
  return from != nullptr && to != nullptr && platform::Rename(from, to);
}

void DiagnosticNote(const char* text) {
  if (text != nullptr) platform::DiagnosticNote(text);
}

int32_t ClipboardGetText(char* dst) { return platform::ClipboardGetText(dst); }

int32_t ClipboardSetText(const char* src, uint32_t bytes) {
  return platform::ClipboardSetText(src, bytes);
}

int32_t ShellOpen(const char* path) { return platform::ShellOpen(path); }

ResourceCount OutstandingResources() { return platform::Outstanding(); }

void CheckExportResources(const char* exportName, const ResourceCount& atEntry,
                          const ResourceCount& keptAtEntry,
                          const ResourceCount& keptOnReturn) {
  if (!atEntry.counted) return;
  ResourceCount expected = atEntry;
  expected.trackedBlocks += keptOnReturn.trackedBlocks - keptAtEntry.trackedBlocks;
  expected.plainBlocks += keptOnReturn.plainBlocks - keptAtEntry.plainBlocks;
  const ResourceCount now = platform::Outstanding();
  if (now.trackedBlocks != expected.trackedBlocks ||
      now.plainBlocks != expected.plainBlocks || now.openFiles != expected.openFiles) {
    platform::NoteResourceImbalance(exportName, expected, now);
  }
}

}  // namespace kelvra
