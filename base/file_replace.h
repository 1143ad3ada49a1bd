// Crash-safe rewriting of an existing file: the new contents go to a
// temporary file beside the target, are flushed, and are renamed over it,
// so that after a crash at any point the path names either the old file or
// the complete new one. Editors of one file are serialised by a lock on it;
// temporaries a killed editor left behind are removed by the next editor.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace vorn {

enum class ReplaceStatus : uint32_t {
  kOk,
  kOpen,    // the target cannot be resolved or opened for reading and writing
  kLock,    // the target kept changing under the lock
  kTemp,    // no temporary file could be made beside the target
  kOwner,   // the temporary file cannot get the target's owner and group
  kWrite,   // writing the new contents failed
  kRead,    // reading the target failed while copying from it
  kFlush,   // flushing the new contents failed
  kRename,  // the temporary file could not take the target's place
};

// One rewrite of a file. open() resolves symbolic links (the file they name
// is rewritten and the links stay), opens and locks the target and removes
// stale temporaries; begin() makes the temporary file with the target's
// owner, group and mode; write() and copy() fill it; commit() flushes it and
// renames it over the target. Destroying an uncommitted edit removes its
// temporary file. A target with several hard links is replaced under its
// resolved name only: the other names keep the old contents.
class FileReplace {
 public:
  FileReplace() = default;
  FileReplace(const FileReplace&) = delete;
  FileReplace& operator=(const FileReplace&) = delete;
  ~FileReplace();

  ReplaceStatus open(const char* path);
  int target_fd() const { return target_fd_; }
  const struct stat& target_stat() const { return st_; }

  ReplaceStatus begin();
  // Writes bytes at an offset of the new file.
  bool write(const void* bytes, uint64_t length, uint64_t offset);
  // Copies [from, from + length) of the target to offset `to` of the new
  // file; kRead or kWrite on failure.
  ReplaceStatus copy(uint64_t from, uint64_t length, uint64_t to);
  ReplaceStatus commit();

 private:
  std::string path_, dir_, temp_prefix_, temp_;
  int target_fd_ = -1, out_fd_ = -1;
  struct stat st_ {};
};

// Test hook: when n >= 0, the n-th step (0-based) that writes, copies,
// flushes or renames fails as a full disk would. -1 turns it off.
void file_replace_inject_failure(int64_t n);

}  // namespace vorn
