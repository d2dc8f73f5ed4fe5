// Test seams of the POSIX substitute platform. They exist only in the native
// build and let tests reach every failure path: note boxes and diagnostic
// notes are recorded instead of shown, allocations, writes and renames can be
// made to fail, the clipboard lives in the process, and the shell's open is
// recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::seams {

struct NoteBoxShown {
  std::string caption;
  std::string text;
};
const std::vector<NoteBoxShown>& NoteBoxes();
void ClearNoteBoxes();

// Allocation failure: the n-th allocation from now on (1 = the next one),
// tracked or plain, fails; 0 switches it off. FailAllAllocations makes every
// allocation fail until switched off.
void FailNthAllocation(int n);
void FailAllAllocations(bool on);
// Allocation requests since the last ResetAll, tracked and plain, failed ones
// included: the range a FailNthAllocation sweep has to cover.
int AllocationRequests();

// Short writes: from now on at most `bytes` more bytes reach the files (a full
// disk); a write that would pass the budget writes only what is left. A
// negative budget switches it off.
void SetWriteBudget(int64_t bytes);

// Outstanding resources, for leak accounting after each export call.
struct Outstanding {
  int trackedBlocks;
  int plainBlocks;
  int openFiles;
};
Outstanding Resources();

// Bytes held now in tracked and plain blocks together, and the most held at
// once since ResetPeakBytes (which starts the peak at what is held now): a
// call's own peak memory is PeakBytes() - BytesHeld() taken before it.
uint64_t BytesHeld();
uint64_t PeakBytes();
void ResetPeakBytes();

// Every export call checks on return that the counts above changed exactly as
// the blocks the library keeps between calls did (preview tile and raster);
// each call that broke this is recorded here. The test fixture and the fuzz
// targets require the list to stay empty.
struct ExportImbalance {
  std::string exportName;
  Outstanding expected;
  Outstanding actual;
};
const std::vector<ExportImbalance>& ExportImbalances();
void ClearExportImbalances();

// In-process clipboard. SetClipboardRefuses makes ClipboardSetText fail.
void SetClipboard(const std::string& text);
void ClearClipboard();
bool ClipboardHasText();
std::string ClipboardText();
void SetClipboardRefuses(bool refuses);

// Shell open: every path asked for is recorded; the result is what the shell
// answers (default 33, a started program). With LaunchOpener on, the file is
// also opened with the opener command (default "xdg-open"), started detached.
const std::vector<std::string>& ShellOpened();
void ClearShellOpened();
void SetShellResult(int32_t result);
void SetShellLaunches(bool launch, const std::string& opener = "xdg-open");

// The diagnostic channel: every note the library gave, in order.
const std::vector<std::string>& DiagnosticNotes();
void ClearDiagnosticNotes();

// With `fails` set, every rename fails and leaves both names alone, as a
// file held open by another program or a read-only folder would.
void SetRenameFails(bool fails);

// Resets every seam to its default (boxes, injections, clipboard, shell,
// allocation request count, recorded imbalances, diagnostic notes, renames).
void ResetAll();

}  // namespace kelvra::seams
