// Runtime services: the only door to the platform.
//
// Everything above this layer deals in plain pointers, byte counts, 32-bit file
// handles and integer results. Two platform layers implement the primitives
// behind these services: Win32 (the DLL) and a POSIX substitute with test seams
// (the native build).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra {

// ---- memory -----------------------------------------------------------------

// Saturating size arithmetic for allocation requests: width x height x bytes
// per pixel overflows 32 bits long before memory runs out, so callers compute
// byte counts in 64 bits and TrackedAlloc refuses anything that does not fit.
constexpr uint64_t kSizeOverflow = UINT64_MAX;
constexpr uint64_t SizeMul(uint64_t a, uint64_t b) {
  if (a == kSizeOverflow || b == kSizeOverflow) return kSizeOverflow;
  if (a != 0 && b > kSizeOverflow / a) return kSizeOverflow;
  return a * b;
}
constexpr uint64_t SizeAdd(uint64_t a, uint64_t b) {
  if (a == kSizeOverflow || b == kSizeOverflow) return kSizeOverflow;
  return b > kSizeOverflow - a ? kSizeOverflow : a + b;
}
// A count below 2^32 and addressable by this process.
bool SizeFits(uint64_t bytes);

// Block from the general heap. On failure (heap exhausted, or a count that does
// not fit) shows the memory note box with `tag` as its text and returns null.
void* TrackedAlloc(uint64_t bytes, const char* tag);
void TrackedFree(void* block);  // null is ignored

// The plain allocator: renderer buffers and the preview tile. No box on
// failure; null when the block cannot be had.
void* PlainAlloc(uint64_t bytes);
void PlainFree(void* block);  // null is ignored

void* MemMove(void* dst, const void* src, size_t bytes);
void* MemCopy(void* dst, const void* src, size_t bytes);

// ---- strings (pure) ---------------------------------------------------------

// Copies at most n characters (n < 1 means 255) and a terminator; returns the
// address of the terminator written.
char* StrCopyBounded(const char* src, char* dst, int32_t n);
int32_t StrLength(const char* text);
// Prefix match of `name` (the pattern) against `text`. Returns the position in
// text just after the matched part, or null.
const char* NameMatch(const char* name, const char* text, bool loose,
                      bool skipDigits);

// ---- files ------------------------------------------------------------------

using FileHandle = int32_t;  // 0: no file

FileHandle FileOpen(const char* path, bool readWrite);
// Opens an existing file without emptying it; creates a missing one when
// `write` is set.
FileHandle FileOpenOrCreate(const char* path, bool write);
int32_t FileRead(FileHandle file, void* dst, uint32_t bytes);
// Writes at the current position; a short write shows the write-error box
// once until the next open. Returns the platform's count.
int32_t FileWriteChecked(FileHandle file, const void* src, uint32_t bytes);
int32_t FileSize(FileHandle file);  // the position is unchanged afterwards
// Moves to `offset` bytes from the start; the new position, or -1 (offsets
// beyond 2^31 - 1 cannot be reached).
int32_t FileSeek(FileHandle file, uint64_t offset);
// With `truncate`, the file ends at the current position.
int32_t FileClose(FileHandle file, bool truncate);
// Modification stamp (32-bit wrap-around calendar formula), or 0.
int32_t FileTimeStamp(const char* path);

// Something (a file or a folder) is at `path`.
bool FileExists(const char* path);
// Renames the file `from` to `to`, in the same folder. Never replaces: when
// something is already at `to`, or the platform refuses, false and both
// names are left as they were.
bool FileRename(const char* from, const char* to);

bool WriteErrorShown();

// The stamp formula on UTC calendar fields, in 32-bit two's complement.
int32_t StampFromFields(int year, int month, int day, int hour, int minute,
                        int second);

// ---- clipboard --------------------------------------------------------------

// 1 when the clipboard holds text; copies at most 255 characters and a
// terminator into dst (at least 256 bytes) when dst is not null.
int32_t ClipboardGetText(char* dst);
// 1 when the clipboard took the bytes (callers pass length + 1).
int32_t ClipboardSetText(const char* src, uint32_t bytes);

// ---- shell ------------------------------------------------------------------

// Asks the shell to open the document with its associated program. Returns the
// shell's result: above 32 means the program was started.
int32_t ShellOpen(const char* path);

// ---- diagnostics ------------------------------------------------------------

// One line for whoever watches the platform's diagnostic channel (a debugger,
// DebugView); never shown to the user. The library says here why it refused
// a document or kept a copy of one.
void DiagnosticNote(const char* text);

// ---- resource accounting ----------------------------------------------------

// Blocks and files outstanding. The substitute platform of the native build
// counts them; the Windows build does not (`counted` false, all zero).
struct ResourceCount {
  int32_t trackedBlocks;
  int32_t plainBlocks;
  int32_t openFiles;
  bool counted;
};
ResourceCount OutstandingResources();

// An export call must give back every block and file it obtained, except the
// blocks the library keeps between calls: on return the outstanding counts
// must differ from those at entry exactly by the change in the kept blocks.
// Where the platform counts, an imbalance is recorded for the tests.
void CheckExportResources(const char* exportName, const ResourceCount& atEntry,
                          const ResourceCount& keptAtEntry,
                          const ResourceCount& keptOnReturn);

// ---- note boxes -------------------------------------------------------------

inline constexpr const char kMemoryNoteCaption[] =
    "Plugin Note: memory could not be allocated.";
inline constexpr const char kWriteErrorText[] = "Incomplete file write.";
inline constexpr const char kWriteErrorCaption[] = "FILE WRITE ERROR";

}  // namespace kelvra
