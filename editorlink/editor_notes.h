// What the editor link tells the platform's diagnostic channel: why a saved
// document cannot be merged, and where LaunchEditor put a document it had to
// move aside. No box is shown for either; the host's user sees the reason
// with a debug-output viewer, and kelvra-host prints it.
#pragma once

#include <cstdint>

namespace kelvra {

// Longest path recorded for a later comparison; a longer one is never
// recorded and so never matches.
inline constexpr int32_t kEditorPathChars = 1024;

// True when `path` fits and was copied into `dst` (kEditorPathChars + 1
// bytes); `dst` is emptied otherwise.
bool RecordEditorPath(const char* path, char* dst);

// Whether two texts are equal, byte for byte.
bool SameText(const char* a, const char* b);

// The decimal digits of `value`, written backwards ending at `end` (which
// receives the terminator; 11 bytes before it are enough); returns the first.
char* DecimalDigits(uint32_t value, char* end);

// "KelvraDLL: cannot merge PATH: REASON", once per path and stamp: the host
// calls ReloadImage again and again on an unchanged file, and one note per
// save is enough.
void NoteCannotMerge(const char* path, int32_t stamp, const char* reason);

// "KelvraDLL: cannot merge PATH: the document is W x H pixels, the image
// W x H", once per path and stamp as above.
void NoteCannotMergeSize(const char* path, int32_t stamp, int32_t documentWidth,
                         int32_t documentHeight, int32_t imageWidth, int32_t imageHeight);

// "KelvraDLL: kept PATH as KEPT before writing a new export: REASON DETAIL".
void NoteKept(const char* path, const char* kept, const char* reason, const char* detail);

// "KelvraDLL: wrote nothing: PATH must be kept but REASON".
void NoteKeepFailed(const char* path, const char* reason);

// Forgets the last noted document (native tests only).
void ForgetNotedDocument();

}  // namespace kelvra
