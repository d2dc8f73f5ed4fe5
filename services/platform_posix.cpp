// POSIX substitute of the platform layer, for the native build: the same
// contracts as the Win32 layer over open/read/write/lseek/ftruncate/stat, plus
// the seams of test_seams.h.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "services/platform.h"
#include "services/test_seams.h"

extern char** environ;

namespace kelvra {
namespace {

// The seams' state. Test-only platform, so ordinary containers are fine here;
// they are function-local statics to keep load-time work out of the library.
struct SeamState {
  std::vector<seams::NoteBoxShown> boxes;
  int failNth = 0;
  bool failAll = false;
  int64_t writeBudget = -1;
  int trackedBlocks = 0;
  int plainBlocks = 0;
  int openFiles = 0;
  bool clipboardHasText = false;
  std::string clipboard;
  bool clipboardRefuses = false;
  std::vector<std::string> shellOpened;
  int32_t shellResult = 33;
  bool shellLaunches = false;
  std::string opener = "xdg-open";
  int allocationRequests = 0;
  std::vector<seams::ExportImbalance> imbalances;
  std::vector<std::string> diagnosticNotes;
  bool renameFails = false;
  // Bytes held in tracked and plain blocks, and the most held at once since
  // the last ResetPeakBytes.
  std::unordered_map<void*, uint32_t> blockBytes;
  uint64_t bytesHeld = 0;
  uint64_t peakBytes = 0;
};

SeamState& Seams() {
  static SeamState state;
  return state;
}

void CountBlock(void* block, uint32_t bytes) {
  SeamState& s = Seams();
  s.blockBytes[block] = bytes;
  s.bytesHeld += bytes;
  if (s.bytesHeld > s.peakBytes) s.peakBytes = s.bytesHeld;
}

void UncountBlock(void* block) {
  SeamState& s = Seams();
  auto it = s.blockBytes.find(block);
  if (it == s.blockBytes.end()) return;
  s.bytesHeld -= it->second;
  s.blockBytes.erase(it);
}

bool AllocationFails() {
  SeamState& s = Seams();
  ++s.allocationRequests;
  if (s.failAll) return true;
  if (s.failNth > 0 && --s.failNth == 0) return true;
  return false;
}

// File handles are descriptors plus one, so that 0 stays free for "no file".
int Fd(FileHandle file) { return file - 1; }
FileHandle Handle(int fd) { return fd < 0 ? 0 : fd + 1; }

}  // namespace

namespace platform {

void* HeapAlloc(uint32_t bytes) {
  if (AllocationFails()) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block != nullptr) {
    ++Seams().trackedBlocks;
    CountBlock(block, bytes);
  }
  return block;
}

void HeapFree(void* block) {
  --Seams().trackedBlocks;
  UncountBlock(block);
  std::free(block);
}

void* PlainAlloc(uint32_t bytes) {
  if (AllocationFails()) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block != nullptr) {
    ++Seams().plainBlocks;
    CountBlock(block, bytes);
  }
  return block;
}

void PlainFree(void* block) {
  --Seams().plainBlocks;
  UncountBlock(block);
  std::free(block);
}

void NoteBox(const char* caption, const char* text) {
  Seams().boxes.push_back({caption, text});
}

FileHandle Open(const char* path, bool readWrite) {
  int fd = ::open(path, readWrite ? O_RDWR : O_RDONLY);
  if (fd >= 0) ++Seams().openFiles;
  return Handle(fd);
}

FileHandle CreateNew(const char* path) {
  int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd >= 0) ++Seams().openFiles;
  return Handle(fd);
}

int32_t Read(FileHandle file, void* dst, uint32_t bytes) {
  uint32_t done = 0;
  while (done < bytes) {
    ssize_t got = ::read(Fd(file), static_cast<char*>(dst) + done, bytes - done);
    if (got < 0) return done > 0 ? static_cast<int32_t>(done) : -1;
    if (got == 0) break;
    done += static_cast<uint32_t>(got);
  }
  return static_cast<int32_t>(done);
}

int32_t Write(FileHandle file, const void* src, uint32_t bytes) {
  SeamState& s = Seams();
  uint32_t allowed = bytes;
  if (s.writeBudget >= 0 && s.writeBudget < bytes) {
    allowed = static_cast<uint32_t>(s.writeBudget);
  }
  uint32_t done = 0;
  while (done < allowed) {
    ssize_t put =
        ::write(Fd(file), static_cast<const char*>(src) + done, allowed - done);
    if (put <= 0) break;
    done += static_cast<uint32_t>(put);
  }
  if (s.writeBudget >= 0) s.writeBudget -= done;
  if (done == 0 && bytes > 0 && allowed > 0) return -1;
  return static_cast<int32_t>(done);
}

int32_t Seek(FileHandle file, int32_t offset, int origin) {
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
  off_t pos = ::lseek(Fd(file), offset, whence);
  return pos < 0 ? -1 : static_cast<int32_t>(pos);
}

void EndFileHere(FileHandle file) {
  off_t here = ::lseek(Fd(file), 0, SEEK_CUR);
  if (here >= 0 && ::ftruncate(Fd(file), here) != 0) {
    // Nothing to report: the Win32 layer ignores SetEndOfFile's result too.
  }
}

int32_t Close(FileHandle file) {
  int result = ::close(Fd(file));
  if (result == 0) --Seams().openFiles;
  return result == 0 ? 0 : -1;
}

bool Exists(const char* path) {
  struct stat st;
  return ::lstat(path, &st) == 0;
}

// rename(2) replaces an existing `to`; the check before it keeps the
// contract of the Win32 layer's MoveFileA (this layer only runs tests, where
// nothing races for the name).
bool Rename(const char* from, const char* to) {
  if (Seams().renameFails || Exists(to)) return false;
  return ::rename(from, to) == 0;
}

bool LastWriteTimeUtc(FileHandle file, CalendarTime* out) {
  struct stat st;
  if (::fstat(Fd(file), &st) != 0) return false;
  time_t seconds = st.st_mtime;
  struct tm t;
  if (::gmtime_r(&seconds, &t) == nullptr) return false;
  *out = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
          t.tm_hour,        t.tm_min,     t.tm_sec};
  return true;
}

int32_t ClipboardGetText(char* dst) {
  SeamState& s = Seams();
  if (s.clipboardHasText && dst != nullptr) {
    StrCopyBounded(s.clipboard.c_str(), dst, 255);
  }
  return s.clipboardHasText ? 1 : 0;
}

int32_t ClipboardSetText(const char* src, uint32_t bytes) {
  SeamState& s = Seams();
  if (s.clipboardRefuses) return 0;
  // CF_TEXT data ends at its first zero byte.
  uint32_t n = 0;
  while (n < bytes && src[n] != 0) ++n;
  s.clipboard.assign(src, n);
  s.clipboardHasText = true;
  return 1;
}

int32_t ShellOpen(const char* path) {
  SeamState& s = Seams();
  s.shellOpened.push_back(path);
  if (s.shellResult <= 32 || !s.shellLaunches) return s.shellResult;
  // Start the opener detached: a shell backgrounds it and exits at once, so
  // the caller never waits for the editor. The path travels as an argument,
  // never as shell text.
  const char* argv[] = {"/bin/sh", "-c", "$0 \"$1\" >/dev/null 2>&1 &",
                        s.opener.c_str(), path, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv),
                  environ) != 0) {
    return 31;  // as the shell answers when no program is associated
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return s.shellResult;
}

void DiagnosticNote(const char* text) { Seams().diagnosticNotes.push_back(text); }

ResourceCount Outstanding() {
  const SeamState& s = Seams();
  return {s.trackedBlocks, s.plainBlocks, s.openFiles, true};
}

void NoteResourceImbalance(const char* exportName, const ResourceCount& expected,
                           const ResourceCount& actual) {
  Seams().imbalances.push_back(
      {exportName,
       {expected.trackedBlocks, expected.plainBlocks, expected.openFiles},
       {actual.trackedBlocks, actual.plainBlocks, actual.openFiles}});
}

}  // namespace platform

namespace seams {

const std::vector<NoteBoxShown>& NoteBoxes() { return Seams().boxes; }
void ClearNoteBoxes() { Seams().boxes.clear(); }
void FailNthAllocation(int n) { Seams().failNth = n; }
void FailAllAllocations(bool on) { Seams().failAll = on; }
void SetWriteBudget(int64_t bytes) { Seams().writeBudget = bytes; }
int AllocationRequests() { return Seams().allocationRequests; }

Outstanding Resources() {
  const SeamState& s = Seams();
  return {s.trackedBlocks, s.plainBlocks, s.openFiles};
}

const std::vector<ExportImbalance>& ExportImbalances() { return Seams().imbalances; }
void ClearExportImbalances() { Seams().imbalances.clear(); }

void SetClipboard(const std::string& text) {
  Seams().clipboard = text;
  Seams().clipboardHasText = true;
}
void ClearClipboard() {
  Seams().clipboard.clear();
  Seams().clipboardHasText = false;
}
bool ClipboardHasText() { return Seams().clipboardHasText; }
std::string ClipboardText() { return Seams().clipboard; }
void SetClipboardRefuses(bool refuses) { Seams().clipboardRefuses = refuses; }

const std::vector<std::string>& ShellOpened() { return Seams().shellOpened; }
void ClearShellOpened() { Seams().shellOpened.clear(); }
void SetShellResult(int32_t result) { Seams().shellResult = result; }
void SetShellLaunches(bool launch, const std::string& opener) {
  Seams().shellLaunches = launch;
  Seams().opener = opener;
}

const std::vector<std::string>& DiagnosticNotes() { return Seams().diagnosticNotes; }
void ClearDiagnosticNotes() { Seams().diagnosticNotes.clear(); }
void SetRenameFails(bool fails) { Seams().renameFails = fails; }

uint64_t BytesHeld() { return Seams().bytesHeld; }
uint64_t PeakBytes() { return Seams().peakBytes; }
void ResetPeakBytes() { Seams().peakBytes = Seams().bytesHeld; }

void ResetAll() {
  SeamState& s = Seams();
  s.boxes.clear();
  s.failNth = 0;
  s.failAll = false;
  s.writeBudget = -1;
  s.clipboardHasText = false;
  s.clipboard.clear();
  s.clipboardRefuses = false;
  s.shellOpened.clear();
  s.shellResult = 33;
  s.shellLaunches = false;
  s.opener = "xdg-open";
  s.allocationRequests = 0;
  s.imbalances.clear();
  s.diagnosticNotes.clear();
  s.renameFails = false;
}

}  // namespace seams
}  // namespace kelvra
