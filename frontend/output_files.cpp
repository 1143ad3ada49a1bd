#include "frontend/output_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <nlohmann/json.hpp>

#include "base/file_write.h"
#include "base/files.h"

namespace vorn {

namespace {

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A new directory named prefix plus a number, with the mode a new directory
// gets; empty on failure.
std::string make_unique_directory(const std::string& prefix) {
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string path = prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (::mkdir(path.c_str(), 0777) == 0) return path;
    if (errno != EEXIST) return "";
  }
  return "";
}

void remove_tree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

// Removes the staging directories "<prefix><pid>-<n>" in directory whose
// process is gone: a writer killed before its commit left them.
void remove_stale_staging(const std::string& directory, const std::string& prefix) {
  const std::string dir = directory.empty() ? "." : directory;
  std::vector<std::string> stale;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      struct stat st;
      if (process_gone(temporary_owner(e->d_name, prefix)) &&
          ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        stale.push_back(path_join(dir, e->d_name));
    }
    ::closedir(d);
  }
  for (const std::string& path : stale) remove_tree(path);
}

}  // namespace

bool read_file_bytes(const std::string& path, std::string* out) {
  int64_t size = 0;
  const int fd = open_regular_file(path.c_str(), &size);
  if (fd < 0) return false;
  std::string bytes;
  bool ok = true;
  try {
    bytes.resize(size_t(size));
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  ok = ok && pread_all(fd, bytes.data(), uint64_t(size), 0);
  ::close(fd);
  if (ok) *out = std::move(bytes);
  return ok;
}

std::string path_directory(const std::string& path) {
  const std::string p = without_trailing_slashes(path);
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return without_trailing_slashes(p.substr(0, slash));
}

std::string path_join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

bool make_directories(const std::string& path, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec || !std::filesystem::is_directory(path, ec)) {
    if (error) *error = ec ? ec.message() : "not a directory";
    return false;
  }
  return true;
}

WriteStatus write_file_atomic(const std::string& path, const void* bytes, uint64_t length) {
  switch (write_file_whole(path.c_str(), bytes, length)) {
    case ReplaceStatus::kOk:
      return WriteStatus::kOk;
    case ReplaceStatus::kOpen:
    case ReplaceStatus::kTemp:
      return WriteStatus::kCreate;
    default:
      return WriteStatus::kWrite;
  }
}

std::string json_file_text(const nlohmann::json& value) {
  return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

StagedDirectory::~StagedDirectory() {
  if (!staging_.empty()) remove_tree(staging_);
}

bool StagedDirectory::begin(const std::string& target, std::string* error) {
  target_ = without_trailing_slashes(target);
  if (target_.empty()) {
    if (error) *error = "empty path";
    return false;
  }
  // A link's directory is filled (made when missing) and the link stays.
  target_ = link_destination(target_.c_str());
  struct stat st {};
  inside_ = ::stat(target_.c_str(), &st) == 0;
  if (inside_ && !S_ISDIR(st.st_mode)) {
    if (error) *error = "not a directory";
    return false;
  }
  std::string parent = inside_ ? target_ : path_directory(target_);
  if (!parent.empty() && !make_directories(parent, error)) return false;
  // Beside the target its name shows whose staging it is; inside it, a
  // fixed prefix.
  const std::string base = target_.substr(target_.rfind('/') == std::string::npos ? 0 : target_.rfind('/') + 1);
  const std::string beside = "." + base + ".staging-", inside = ".vorn-staging-";
  remove_stale_staging(path_directory(target_), beside);
  if (inside_) remove_stale_staging(target_, inside);
  staging_ = make_unique_directory(path_join(parent, inside_ ? inside : beside));
  if (staging_.empty()) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool StagedDirectory::write(const std::string& name, const void* bytes, uint64_t length) {
  if (staging_.empty() || write_file_atomic(path_join(staging_, name), bytes, length) != WriteStatus::kOk)
    return false;
  names_.push_back(name);
  return true;
}

bool StagedDirectory::commit() {
  if (staging_.empty()) return false;
  if (!inside_) {
    if (::rename(staging_.c_str(), target_.c_str()) != 0) return false;
    staging_.clear();
    return true;
  }
  // The old copy of the marking file goes first, so that a rename failing
  // half-way never leaves a directory that looks finished.
  if (!names_.empty()) {
    const std::string marker = path_join(target_, names_.back());
    if (::unlink(marker.c_str()) != 0 && errno != ENOENT) return false;
  }
  for (const std::string& name : names_) {
    if (::rename(path_join(staging_, name).c_str(), path_join(target_, name).c_str()) != 0) return false;
  }
  remove_tree(staging_);
  staging_.clear();
  return true;
}

}  // namespace vorn
