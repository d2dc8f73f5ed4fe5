// The Win32 platform layer on real files under Wine: truncation on close,
// FileSize keeping the read position, renames that never replace, the stamp
// of a file dated 2000-01-01, short writes and the clipboard.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "services/services.h"
#include "tests/winhost/check.h"

namespace kelvra::wintest {
namespace {

std::string TempFile(const char* name) {
  char buf[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buf, buf);
  return std::string(buf, n) + name;
}

WT_SCENARIO(win32_truncating_close_keeps_only_new_bytes) {
  std::string path = TempFile("kelvra-trunc.bin");
  DeleteFileA(path.c_str());
  WT_CHECK_EQ(FileOpen(path.c_str(), false), 0);
  WT_CHECK_EQ(FileOpenOrCreate(path.c_str(), false), 0);
  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  WT_CHECK(f != 0);
  WT_CHECK_EQ(FileWriteChecked(f, "0123456789", 10), 10);
  WT_CHECK_EQ(FileClose(f, true), 0);
  f = FileOpenOrCreate(path.c_str(), true);
  WT_CHECK_EQ(FileWriteChecked(f, "abc", 3), 3);
  WT_CHECK_EQ(FileClose(f, true), 0);
  f = FileOpen(path.c_str(), false);
  char buf[16] = {};
  WT_CHECK_EQ(FileSize(f), 3);
  WT_CHECK_EQ(FileRead(f, buf, 16), 3);
  WT_CHECK(std::memcmp(buf, "abc", 3) == 0);
  FileClose(f, false);
  DeleteFileA(path.c_str());
}

// LaunchEditor keeps a document by renaming it to a free name: the rename
// must never replace a kept copy already there.
WT_SCENARIO(win32_rename_never_replaces) {
  const std::string a = TempFile("kelvra-rename-a.bin"), b = TempFile("kelvra-rename-b.bin");
  const std::string c = TempFile("kelvra-rename-c.bin");
  for (const std::string& p : {a, b, c}) DeleteFileA(p.c_str());
  for (const std::string& p : {a, b}) {
    FileHandle f = FileOpenOrCreate(p.c_str(), true);
    FileWriteChecked(f, p.c_str(), static_cast<uint32_t>(p.size()));
    FileClose(f, true);
  }
  WT_CHECK(!FileRename(a.c_str(), b.c_str()));
  WT_CHECK(ReadAll(b) == std::vector<uint8_t>(b.begin(), b.end()));
  WT_CHECK(FileRename(a.c_str(), c.c_str()));
  WT_CHECK(!FileExists(a.c_str()) && FileExists(c.c_str()));
  WT_CHECK(ReadAll(c) == std::vector<uint8_t>(a.begin(), a.end()));
  for (const std::string& p : {b, c}) DeleteFileA(p.c_str());
}

WT_SCENARIO(win32_file_size_keeps_the_read_position) {
  std::string path = TempFile("kelvra-size.bin");
  DeleteFileA(path.c_str());
  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  FileWriteChecked(f, "123456789", 9);
  FileClose(f, true);
  f = FileOpen(path.c_str(), false);
  char buf[4];
  WT_CHECK_EQ(FileRead(f, buf, 4), 4);
  WT_CHECK_EQ(FileSize(f), 9);
  WT_CHECK_EQ(FileRead(f, buf, 4), 4);
  WT_CHECK_EQ(buf[0], '5');
  FileClose(f, false);
  DeleteFileA(path.c_str());
}

WT_SCENARIO(win32_stamp_of_2000_01_01) {
  std::string path = TempFile("kelvra-stamp.bin");
  DeleteFileA(path.c_str());
  WT_CHECK_EQ(FileTimeStamp(path.c_str()), 0);
  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  FileWriteChecked(f, "x", 1);
  FileClose(f, false);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  SYSTEMTIME st = {};
  st.wYear = 2000;
  st.wMonth = 1;
  st.wDay = 1;
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  WT_CHECK(SetFileTime(h, nullptr, nullptr, &ft));
  CloseHandle(h);
  WT_CHECK_EQ(FileTimeStamp(path.c_str()), 2764800);
  WT_CHECK_EQ(FileTimeStamp(path.c_str()), 2764800);
  DeleteFileA(path.c_str());
}

WT_SCENARIO(win32_short_write_reports_once) {
  // A write to a read-only handle fails: the box shows (and returns at once
  // without a display); the flag stays set until the next open.
  std::string path = TempFile("kelvra-ro.bin");
  DeleteFileA(path.c_str());
  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  FileClose(f, false);
  f = FileOpen(path.c_str(), false);
  WT_CHECK(!WriteErrorShown());
  WT_CHECK(FileWriteChecked(f, "abc", 3) != 3);
  WT_CHECK(WriteErrorShown());
  FileClose(f, false);
  f = FileOpen(path.c_str(), false);
  WT_CHECK(!WriteErrorShown());
  FileClose(f, false);
  DeleteFileA(path.c_str());
}

WT_SCENARIO(win32_clipboard_round_trip) {
  WT_CHECK_EQ(ClipboardSetText("kelvra clip", 12), 1);
  char buf[300];
  WT_CHECK_EQ(ClipboardGetText(buf), 1);
  WT_CHECK(std::strcmp(buf, "kelvra clip") == 0);
  std::string big(400, 'z');
  WT_CHECK_EQ(ClipboardSetText(big.c_str(), 401), 1);
  WT_CHECK_EQ(ClipboardGetText(buf), 1);
  WT_CHECK_EQ(std::strlen(buf), static_cast<size_t>(255));
}

WT_SCENARIO(win32_failed_allocation_returns_null) {
  WT_CHECK(TrackedAlloc(uint64_t{1} << 33, "ABitMap::Allocate") == nullptr);
  void* p = TrackedAlloc(100, "x");
  WT_CHECK(p != nullptr);
  TrackedFree(p);
}

}  // namespace
}  // namespace kelvra::wintest

int main(int argc, char** argv) {
  return kelvra::wintest::RunAll(argc > 1 ? argv[1] : nullptr);
}
