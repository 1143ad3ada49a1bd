// A model container opened by the command-line tools for its metadata and
// configuration documents: the header and metadata image in memory and a
// private descriptor for the rest, without reading the weights.
#pragma once
#include <string>

#include "container/container.h"

namespace vorn {

class ModelFile {
 public:
  // Throws std::runtime_error "Cannot open model <path>: <reason>".
  explicit ModelFile(const std::string& path);
  ~ModelFile() { container_close(&handle_); }
  ModelFile(const ModelFile&) = delete;
  ModelFile& operator=(const ModelFile&) = delete;

  const ContainerHandle& handle() const { return handle_; }
  const uint8_t* metadata() const { return handle_.meta; }
  uint64_t metadata_length() const { return handle_.meta_len; }
  int fd() const { return handle_.fd; }
  uint64_t base() const { return handle_.base; }

 private:
  ContainerHandle handle_{};
};

}  // namespace vorn
