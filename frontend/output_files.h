// The files the command-line front ends read and write. Every file they
// write appears whole or not at all: it is written to a temporary file in
// the same directory, flushed, and renamed over its name (a device, a FIFO
// or /dev/stdout is written through instead, see base/file_write.h). A
// directory of outputs is staged the same way, so a run that fails leaves
// neither half a file nor a partly filled directory behind, and the next run
// removes what a killed one staged.
#pragma once
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace vorn {

// The whole of a regular file; false when it cannot be opened or read. A
// directory, a FIFO or a device is refused without waiting on it.
bool read_file_bytes(const std::string& path, std::string* out);

// The path without its last component: "" for a bare file name, "/" for a
// file in the root.
std::string path_directory(const std::string& path);
// Joins a directory and a name; a bare name in "" stays bare.
std::string path_join(const std::string& directory, const std::string& name);

// Creates a directory and its missing parents. False with the reason in
// *error (may be null) on failure; an existing directory succeeds.
bool make_directories(const std::string& path, std::string* error);

enum class WriteStatus : uint32_t {
  kOk,
  kCreate,  // no temporary file could be made in the file's directory
  kWrite,   // writing, flushing or renaming it failed
};
// Writes bytes to path through a temporary file and a rename; on failure
// nothing at path has changed. The new file has mode 0644. What cannot be
// replaced (a device, a FIFO, a descriptor's link) is written through, and a
// file beside which no temporary can be made is written in place (a failure
// then leaves what was written).
WriteStatus write_file_atomic(const std::string& path, const void* bytes, uint64_t length);

// The text every JSON file of the tools holds: two-space indentation, non-ASCII
// characters kept as UTF-8, ill-formed UTF-8 replaced by U+FFFD, one final
// newline.
std::string json_file_text(const nlohmann::json& value);

// A directory of outputs written as one. A symbolic link as the target is
// followed: the directory it leads to is written and the link stays. When
// the target does not exist the files go into a hidden directory beside it
// (".NAME.staging-PID-N") that is renamed to the target at commit. When it
// exists they go into a hidden directory inside it (".vorn-staging-PID-N")
// and are renamed into place at commit in the order they were written, after
// the target's copy of the last file is removed: write the file that marks a
// finished directory last. Without commit, the destructor removes what was
// staged and the target is as it was; what a killed writer staged is removed
// by the next begin() on the same target.
class StagedDirectory {
 public:
  StagedDirectory() = default;
  StagedDirectory(const StagedDirectory&) = delete;
  StagedDirectory& operator=(const StagedDirectory&) = delete;
  ~StagedDirectory();

  // Creates the target's missing parents and the staging directory. False
  // with the reason in *error on failure.
  bool begin(const std::string& target, std::string* error);
  // Writes one file of the directory; false on failure.
  bool write(const std::string& name, const void* bytes, uint64_t length);
  bool commit();

  const std::string& target() const { return target_; }

 private:
  std::string target_, staging_;
  bool inside_ = false;
  std::vector<std::string> names_;
};

}  // namespace vorn
