// Opening a .vorn container: the validated reader by path or by descriptor
// range, the session loaders that serialise on one process-wide lock, the
// tensor digest check, and raw access to sections and graph records of an
// open handle.
#pragma once
#include <cstdint>
#include <mutex>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"
#include "container/records.h"

namespace vorn {

// Container error codes; container_status_text gives the fixed text.
enum ContainerStatus : uint32_t {
  kContainerIoFailed = 0,
  kContainerBadHeader = 1,
  kContainerBadSections = 2,
  kContainerHashMismatch = 3,
  kContainerBadPlan = 4,
  kContainerBadTensor = 5,
  kContainerAllocFailed = 6,
  kContainerSlotBusy = 7,
  kContainerSlotTooSmall = 8,
  kContainerBackendFailed = 9,
  kContainerTensorHashMismatch = 10,
};

// Text of a status code 0..10 ("I/O failed", ...); any other code gives "".
Slice container_status_text(uint32_t code);

// One tensor of the f32 widening plan: where the stored tensor is and where
// its f32 form goes in the loaded data region.
struct WidenEntry {
  uint64_t src_offset;   // container offset of the stored bytes
  uint64_t src_bytes;
  uint64_t src_padded;
  uint64_t src_kind;     // ElementKind as stored; 2 means already f32
  uint64_t rows;
  uint64_t cols;
  uint64_t dst_offset;   // offset in the widened data region
  uint64_t tensor_index;
};
static_assert(sizeof(WidenEntry) == 64);

// An open container. Owned by whoever opened it; release with
// container_close. The metadata copy is read-only after the open.
struct ContainerHandle {
  uint8_t* meta = nullptr;   // container bytes [0, M): header and sections
  uint64_t meta_len = 0;     // M
  int32_t fd = -1;           // private close-on-exec duplicate, -1 when none
  uint64_t data_size = 0;    // data region size as loaded (widened total with a plan)
  uint64_t data_offset = 0;  // M
  uint64_t base = 0;         // file offset of the container's first byte
  WidenEntry* widen_plan = nullptr;
  uint64_t widen_count = 0;
};

using ContainerResult = Result<ContainerHandle, uint32_t>;  // error: ContainerStatus
using ModelLoadResult = Result<ContainerHandle, ByteString>;  // error: owned message

// Open flag: build the f32 widening plan for a tensor model.
constexpr uint32_t kContainerOpenWiden = 1;

// Opens the container in [offset, offset + length) of fd. The caller keeps
// its descriptor; the handle holds its own duplicate.
ContainerResult container_open_fd(int fd, uint64_t offset, uint64_t length, uint32_t flags);
// Opens a whole file as a container with the widening plan requested.
ContainerResult container_open_path(Slice path);
ContainerResult container_open_path(const char* path);
// Frees the copy and the plan and closes the duplicate; null is ignored.
// The handle is zeroed (fd -1) afterwards.
void container_close(ContainerHandle* handle);

// The session loaders: model_load_fd runs under the process-wide load lock
// and adds the layout checks of tensor and graph value records ("invalid
// container layout"); failures are message texts.
ModelLoadResult model_load_fd(int fd, uint64_t offset, uint64_t length);
ModelLoadResult model_load_path(Slice path);
// The one process-wide lock around session model loads (recursive, so a
// caller that holds it may load).
std::recursive_mutex& container_load_lock();

// Header check on a 512-byte image against the container length, digest
// included.
bool container_header_valid(const uint8_t* header, uint64_t length);
// The section rules and the load-structure validation of the handle's
// image; sets data_size to D. (container_open_fd runs it.)
bool container_sections_valid(ContainerHandle* handle);
// Builds the f32 widening plan of a tensor model; true also when none is
// needed. (container_open_fd runs it with kContainerOpenWiden.)
bool container_plan_widening(ContainerHandle* handle);
// The element-kind row of kind (1..4) in section 2 matches the format.
bool element_kind_valid(const ContainerHandle* handle, uint64_t kind);

// True when the XXH3-128 of every tensor's padded extent matches its digest
// record. data is the loaded data region (data_size bytes); with a widening
// plan the stored bytes are read back from the file instead.
bool container_verify_tensor_hashes(const ContainerHandle* handle, const uint8_t* data);

// Raw section access. These do not check bounds: callers keep the section
// below 11 and the record below the count.
uint64_t container_read_u64(const uint8_t* meta, uint64_t offset);
uint64_t container_section_offset(const ContainerHandle* handle, uint64_t section);
uint64_t container_section_size(const ContainerHandle* handle, uint64_t section);
uint64_t container_section_stride(const ContainerHandle* handle, uint64_t section);
uint64_t container_section_count(const ContainerHandle* handle, uint64_t section);
uint64_t container_record_offset(const ContainerHandle* handle, uint64_t section, uint64_t record);

// Graph records of a tensor model. Out-of-range indices (or a section whose
// stride is too small for the record) give an all-zero record.
uint64_t container_node_count(const ContainerHandle* handle);
uint64_t container_value_count(const ContainerHandle* handle);
uint64_t container_tensor_count(const ContainerHandle* handle);
NodeRecord container_node_record(const ContainerHandle* handle, uint64_t index);
ValueRecord container_value_record(const ContainerHandle* handle, uint64_t index);
TensorRecord container_tensor_record(const ContainerHandle* handle, uint64_t index);
// Name of a value record (pool slice), empty when out of range.
Slice container_value_name(const ContainerHandle* handle, uint64_t index);
// True when section 6 holds node records (a tensor model), false for the
// generative graph block.
bool container_is_tensor_model(const ContainerHandle* handle);

// The shape of a tensor record as stored; all zero when the record gives no
// valid view.
struct TensorShapeView {
  uint64_t kind;
  uint64_t rows;
  uint64_t cols;
  uint64_t count;
  uint64_t byte_size;
  uint64_t f32_byte_size;
  uint64_t container_offset;
  uint64_t relative_offset;
};
TensorShapeView container_tensor_shape(const ContainerHandle* handle, uint64_t index);

}  // namespace vorn
