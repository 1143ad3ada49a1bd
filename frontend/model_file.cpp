#include "frontend/model_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorn {

ModelFile::ModelFile(const std::string& path) {
  const auto refuse = [&](const std::string& reason) {
    throw std::runtime_error("Cannot open model " + path + ": " + reason);
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) refuse(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    refuse("not a regular file");
  }
  // The handle keeps a duplicate of its own.
  const ContainerResult r = container_open_fd(fd, 0, uint64_t(st.st_size), 0);
  ::close(fd);
  if (!r.ok()) {
    const Slice text = container_status_text(r.error);
    refuse(std::string(reinterpret_cast<const char*>(text.ptr), text.len));
  }
  handle_ = r.value;
}

}  // namespace vorn
