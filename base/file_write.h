// Placing a new file at a caller-named path: every report, manifest,
// converted container, ranges file and trace of the system is written here.
// What stands at the path decides how:
// - a regular file, or nothing: the bytes go to a temporary file beside it
//   that is flushed and renamed over the name at commit, so the path names
//   the old file or the whole new one, never half of one;
// - a device, a FIFO or a socket: written in place. Renaming over it would
//   replace the node (as root, --report /dev/null would end /dev/null for
//   the whole machine) and a reader waiting on a FIFO would never see the
//   bytes;
// - a link to one of this process's own descriptors (/dev/stdout,
//   /dev/fd/N): written to that descriptor, so the bytes take their turn
//   among the others written to it.
// Symbolic links are followed: the file a link leads to is written (made
// when missing) and the link stays. When no temporary can be made beside a
// file (a directory the writer may not add to), the file is written in
// place rather than not at all.
//
// Temporaries are named ".NAME.vorn-PID-XXXXXX" after the writer's process.
// A writer killed before its commit leaves its temporary behind; the next
// writer into the same directory removes those whose process is gone.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "base/file_replace.h"

namespace vorn {

class FileWrite {
 public:
  FileWrite() = default;
  FileWrite(const FileWrite&) = delete;
  FileWrite& operator=(const FileWrite&) = delete;
  // An uncommitted temporary is removed; a file written in place keeps what
  // was written.
  ~FileWrite();

  // kOpen: the path names a directory, a loop of links, a FIFO without a
  // reader, or cannot be opened for writing; kTemp: neither a temporary nor
  // the file itself can be made.
  ReplaceStatus open(const char* path);
  int fd() const { return fd_; }
  // Appends bytes; false on failure.
  bool write(const void* bytes, uint64_t length);
  // kFlush or kRename on failure.
  ReplaceStatus commit();
  // True when the bytes go straight to the target, without a rename.
  bool in_place() const { return fd_ >= 0 && temp_.empty(); }

 private:
  std::string target_, temp_;
  int fd_ = -1;
  bool flush_ = false;  // a regular file written in place is flushed at commit
};

// open, write and commit of one buffer.
ReplaceStatus write_file_whole(const char* path, const void* bytes, uint64_t length);

// An empty file of the temporaries' naming, for a caller that fills it by
// name (the converter's intermediate container): beside the file the path
// leads to, or in the temporary directory when the path names a device, a
// FIFO or a descriptor. Its name, or "" on failure.
std::string make_temporary_beside(const char* path);

// The name path leads to once its symbolic links are followed (the last
// need not exist); a link into /proc, naming an open file by descriptor, is
// not followed. path itself when it cannot be looked at.
std::string link_destination(const char* path);

// The process id in a temporary's name "<prefix><pid>-<tail>", tail being 1
// to 16 letters or digits; -1 for a name of any other form.
int64_t temporary_owner(std::string_view name, std::string_view prefix);
// True when no process has this id any more: whatever it left half-written
// is nobody's. A live process of any owner counts as present.
bool process_gone(int64_t pid);
// Removes, from directory, the temporary files of our naming whose writing
// process is gone. Names of other forms and of live processes stay.
void remove_stale_temporaries(const std::string& directory);

}  // namespace vorn
