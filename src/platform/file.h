// Reading a small file whole, without ever blocking on what is not a
// regular file (a FIFO, a device) and without taking a mix of two versions
// of a file that is rewritten while it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel::platform {

enum class FileRead {
  Ok,
  CannotOpen,  // missing, unreadable
  NotRegular,  // a directory, FIFO, device or socket
  Changing,    // rewritten during every attempt to read it
};

// ---- Primitives: one implementation per platform ----------------------------

using FileHandle = std::intptr_t;

// Opens without waiting for a writer, then checks what was opened, so that a
// path swapped to a FIFO in between cannot block: Ok with *handle set, or why not.
FileRead openRegularFile(const char* path, FileHandle* handle);
// Up to `limit` bytes from the start of the file into *content.
bool readFileStart(FileHandle handle, size_t limit, std::string* content);
void closeFile(FileHandle handle);

// ---- Written once over the primitives (file_common.cpp) ----------------------

// Up to `limit` bytes from the start of the regular file at `path`, read
// twice in a row and taken only when both reads agree.
FileRead readRegularFile(const char* path, size_t limit, std::string* content);

}  // namespace kestrel::platform
