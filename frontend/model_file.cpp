#include "frontend/model_file.h"

#include <unistd.h>

#include <stdexcept>

#include "base/files.h"

namespace vorn {

ModelFile::ModelFile(const std::string& path) {
  const auto refuse = [&](const std::string& reason) {
    throw std::runtime_error("Cannot open model " + path + ": " + reason);
  };
  int64_t size = 0;
  const int fd = open_regular_file(path.c_str(), &size);
  if (fd < 0) refuse(open_failure_text(fd));
  // The handle keeps a duplicate of its own.
  const ContainerResult r = container_open_fd(fd, 0, uint64_t(size), 0);
  ::close(fd);
  if (!r.ok()) {
    const Slice text = container_status_text(r.error);
    refuse(std::string(reinterpret_cast<const char*>(text.ptr), text.len));
  }
  handle_ = r.value;
}

}  // namespace vorn
