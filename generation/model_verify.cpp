// The model verifier: every tensor of a container read back from the file
// and compared with its digest, with progress and cancellation.
#include <cstdlib>

#include "base/files.h"
#include "container/container.h"
#include "container/digest.h"
#include "container/format.h"
#include "generation/session_state.h"
#include "generation/vlm_interface.h"
#include "vorn.h"

namespace vorn {

namespace {

constexpr const char* kVerifyFailed = "Model verification failed or was cancelled";
// Tensor record fields (bytes into the record): the extent the digest
// covers (the stored size rounded up to the alignment) and where the tensor
// starts in the data region.
constexpr uint64_t kTensorPaddedSize = 104;
constexpr uint64_t kTensorDataOffset = 112;

}  // namespace

bool vlm_verify_model_fd(int fd, uint64_t base, uint64_t length, VerifyProgress progress, void* context,
                         ErrorRecord* error) {
  if (error != nullptr) error_clear(error);
  ContainerResult opened = container_open_fd(fd, base, length, 0);
  if (!opened.ok()) {
    const uint32_t status = opened.error;
    const uint32_t code = status == kContainerIoFailed      ? VORN_STATUS_IO
                          : status == kContainerAllocFailed ? VORN_STATUS_OUT_OF_MEMORY
                                                            : VORN_STATUS_INVALID_MODEL;
    return error_record_set(error, code, std::string(container_status_text(status).view()).c_str());
  }
  ContainerHandle handle = opened.value;
  const uint64_t count = container_tensor_count(&handle);
  uint8_t* buffer = nullptr;
  uint64_t capacity = 0;
  uint32_t code = 0;
  for (uint64_t t = 0; t < count && code == 0; ++t) {
    if (progress != nullptr && progress(context, t, count) != 0) {
      code = VORN_STATUS_CANCELLED;
      break;
    }
    const uint64_t record = container_record_offset(&handle, kSecTensors, t);
    // The digest covers the padded extent, so that is what is read: every
    // byte of it, however the reads are split.
    const uint64_t padded = container_read_u64(handle.meta, record + kTensorPaddedSize);
    const uint64_t offset = container_read_u64(handle.meta, record + kTensorDataOffset);
    if (offset > handle.data_size || padded > handle.data_size - offset) {
      code = VORN_STATUS_INVALID_MODEL;
      break;
    }
    if (padded > capacity) {
      void* grown = std::realloc(buffer, padded);
      if (grown == nullptr) {
        code = VORN_STATUS_OUT_OF_MEMORY;
        break;
      }
      buffer = static_cast<uint8_t*>(grown);
      capacity = padded;
    }
    if (!pread_all(handle.fd, buffer, padded, handle.base + handle.data_offset + offset)) {
      code = VORN_STATUS_IO;
      break;
    }
    const uint8_t* digest = handle.meta + container_record_offset(&handle, kSecDigests, t);
    if (!xxh3_128_matches(buffer, padded, digest)) code = VORN_STATUS_INTEGRITY;
  }
  if (code == 0 && progress != nullptr && progress(context, count, count) != 0) code = VORN_STATUS_CANCELLED;
  std::free(buffer);
  container_close(&handle);
  if (code != 0) return error_record_set(error, code, kVerifyFailed);
  return true;
}

bool vlm_open_path_entry(const char* path, const GenerativeOpenParams* params, VlmSession** out,
                         ErrorRecord* error) {
  return vlm_open_path(path, params, out, error);
}

bool vlm_open_fd_entry(int fd, uint64_t base, uint64_t length, const GenerativeOpenParams* params, VlmSession** out,
                       ErrorRecord* error) {
  return vlm_open_fd(fd, base, length, params, out, error);
}

bool vlm_verify_model_fd_entry(int fd, uint64_t base, uint64_t length, VerifyProgress progress, void* context,
                               ErrorRecord* error) {
  return vlm_verify_model_fd(fd, base, length, progress, context, error);
}

}  // namespace vorn
