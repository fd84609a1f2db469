// Reading a file whole, once for every platform, over the primitives of
// file_posix.cpp or file_win32.cpp.
#include "platform/file.h"

namespace kestrel::platform {
namespace {
constexpr int kAttempts = 3;
}  // namespace

FileRead readRegularFile(const char* path, size_t limit, std::string* content) {
  FileHandle file = 0;
  if (const FileRead opened = openRegularFile(path, &file); opened != FileRead::Ok) return opened;
  // A writer that rewrites the file in place can be caught half-way by one
  // read; two reads that agree were not.
  FileRead result = FileRead::Changing;
  std::string again;
  if (!readFileStart(file, limit, content)) result = FileRead::CannotOpen;
  for (int attempt = 0; result == FileRead::Changing && attempt < kAttempts; ++attempt) {
    if (!readFileStart(file, limit, &again)) {
      result = FileRead::CannotOpen;
    } else if (again == *content) {
      result = FileRead::Ok;
    } else {
      content->swap(again);
    }
  }
  closeFile(file);
  return result;
}

}  // namespace kestrel::platform
