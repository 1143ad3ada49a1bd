#include "generation/generation_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/vn_error.h"

namespace vorn {

namespace {

bool write_everything(int fd, const uint8_t* bytes, uint64_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, bytes, length > (1u << 30) ? (1u << 30) : length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= uint64_t(n);
  }
  return true;
}

}  // namespace

std::string trace_file_name(const std::string& name) {
  std::string file = name;
  for (char& c : file)
    if (c == '/') c = '_';
  return file + ".bin";
}

bool trace_write_file(const std::string& directory, const std::string& file, const uint8_t* bytes,
                      uint64_t length) {
  const std::string target = directory + "/" + file;
  std::string temporary = directory + "/." + file + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0644) == 0 && write_everything(fd, bytes, length);
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

nlohmann::json trace_write_tensor(const VNTensor& tensor, const std::string& name, const std::string& directory,
                                  uint64_t byte_offset, const std::vector<uint64_t>& shape) {
  const uint64_t size = tensor.dtype == 1 ? 2 : tensor.dtype == 2 ? 4 : 8;
  const uint64_t length = shape_element_count(shape) * size;
  const uint64_t held = tensor.count * size;
  if (byte_offset > held || length > held - byte_offset) throw_inference("Output slice bounds");
  // Whatever the view says, nothing is read past its buffer.
  const uint64_t room = tensor.buffer == nullptr || tensor.offset > tensor.buffer->length()
                            ? 0
                            : tensor.buffer->length() - tensor.offset;
  std::vector<uint8_t> packed;
  const uint8_t* bytes = tensor.contents() + byte_offset;
  if (tensor.cacheStride != 0) {
    if (byte_offset != 0 || shape != tensor.shape || shape.size() != 4 || shape[2] > tensor.cacheStride)
      throw_inference("Cache trace must contain the complete live tensor");
    // Each (batch, head) row reserves cacheStride positions, of which
    // shape[2] are live.
    const uint64_t rows = shape[0] * shape[1], live = shape[2] * shape[3] * size;
    if (rows > 0 && ((rows - 1) * tensor.cacheStride * shape[3] * size + live > room))
      throw_inference("Output slice bounds");
    packed.resize(length);
    for (uint64_t i = 0; i < rows; ++i)
      std::memcpy(packed.data() + i * live, tensor.contents() + i * tensor.cacheStride * shape[3] * size, live);
    bytes = packed.data();
  } else if (byte_offset + length > room) {
    throw_inference("Output slice bounds");
  }
  const std::string file = trace_file_name(name);
  if (!trace_write_file(directory, file, bytes, length)) throw_inference("Writing output tensor");
  return {{"file", file}, {"shape", shape}, {"dtype", tensor.dtype}};
}

int32_t stream_to_stdout(void*, const uint8_t* bytes, uint64_t length, uint64_t) {
  std::fwrite(bytes, 1, length, stdout);
  std::fflush(stdout);
  return 0;
}

}  // namespace vorn
