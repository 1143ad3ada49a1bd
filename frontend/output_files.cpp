#include "frontend/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

namespace vorn {

namespace {

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool write_fully(int fd, const uint8_t* p, uint64_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n > (uint64_t(1) << 30) ? (size_t(1) << 30) : size_t(n));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= uint64_t(w);
  }
  return true;
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

}  // namespace

bool read_file_bytes(const std::string& path, std::string* out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::string bytes;
  char buffer[65536];
  while (ok) {
    const ssize_t r = ::read(fd, buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = false;
    if (r <= 0) break;
    bytes.append(buffer, size_t(r));
  }
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
  const std::string dir = path_directory(path);
  std::string temp = path_join(dir, ".vorn-write-XXXXXX");
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return WriteStatus::kCreate;
  bool ok = ::fchmod(fd, 0644) == 0 && write_fully(fd, static_cast<const uint8_t*>(bytes), length) &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok ? WriteStatus::kOk : WriteStatus::kWrite;
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
  staging_ = make_unique_directory(path_join(parent, inside_ ? ".vorn-staging-" : "." + base + ".staging-"));
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
