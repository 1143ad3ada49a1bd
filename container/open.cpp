// Opening a container from a descriptor range or a path: everything the
// handle holds is checked here, before any other code reads it, and only
// the header and metadata region are read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "container/container.h"
#include "container/digest.h"
#include "container/format.h"
#include "container/sections.h"

namespace vorn {

namespace {

constexpr const char* kStatusTexts[] = {
    "I/O failed",
    "invalid header/version/file size",
    "invalid section bounds",
    "metadata/header hash mismatch",
    "invalid load plan/group coverage",
    "invalid tensor record",
    "allocation failed",
    "slot is busy",
    "slot too small",
    "backend failed",
    "tensor hash mismatch",
};

ContainerResult fail(uint32_t code) { return ContainerResult::failure(code); }

// Rewrites the tensor records of a tensor model in the handle's copy so
// that every weight reads as f32, and records where each stored tensor
// comes from. Containers that need no widening are left alone.
bool plan_widening(ContainerHandle* h) {
  SectionView v{h->meta, h->meta_len};
  if (v.stride(kSecNodes) != kStrideNode || v.stride(kSecValues) != kStrideValue) return true;
  const uint64_t values = v.count(kSecValues);
  const uint64_t tensors = v.count(kSecTensors);
  if (values == 0 || tensors == 0) return true;
  bool all_f32 = true;
  for (uint64_t t = 0; t < tensors && all_f32; ++t)
    all_f32 = v.field(kSecTensors, t, 8) == kElemF32;
  if (all_f32) return true;

  auto* plan = static_cast<WidenEntry*>(std::calloc(tensors, sizeof(WidenEntry)));
  if (plan == nullptr) return false;
  uint64_t r = 0;
  for (uint64_t t = 0; t < tensors; ++t) {
    uint8_t* rec = h->meta + v.record(kSecTensors, t);
    const uint64_t kind = load_u64(rec + 8);
    const uint64_t b = load_u64(rec + 96);
    const uint64_t rank = load_u64(rec + 32);
    uint64_t rows, cols, count;
    if (kind == kElemF32) {
      rows = 1;
      cols = b / 4;
      count = cols;
    } else {
      if (rank == 0) {
        // A lone F16 value is 2 bytes: nothing sensible to widen it into.
        if (b < 4) {
          std::free(plan);
          return false;
        }
        count = 1;
        cols = 1;
      } else {
        count = 1;
        for (uint64_t d = 0; d < rank; ++d) count *= load_u64(rec + 40 + 8 * d);  // bounded by validation
        cols = load_u64(rec + 40 + 8 * (rank - 1));
        if (cols == 0) {
          std::free(plan);
          return false;
        }
      }
      rows = count / cols;
    }
    uint64_t f32_size, padded, next;
    if (__builtin_mul_overflow(count, 4, &f32_size) ||
        __builtin_add_overflow(f32_size, kAlignment - 1, &padded)) {
      std::free(plan);
      return false;
    }
    padded = padded / kAlignment * kAlignment;
    if (padded == 0) padded = kAlignment;
    plan[t] = WidenEntry{load_u64(rec + 88), b, load_u64(rec + 104), kind, rows, cols, r, t};
    store_u64(rec + 8, kElemF32);
    store_u64(rec + 32, 1);
    store_u64(rec + 40, count);
    for (int d = 1; d < 6; ++d) store_u64(rec + 40 + 8 * d, 0);
    store_u64(rec + 96, f32_size);
    store_u64(rec + 104, padded);
    store_u64(rec + 112, r);
    store_u64(rec + 136, f32_size);
    if (__builtin_add_overflow(r, padded, &next)) {
      std::free(plan);
      return false;
    }
    r = next;
  }
  for (uint64_t i = 0; i < values; ++i) {
    uint8_t* rec = h->meta + v.record(kSecValues, i);
    if (load_u64(rec) != kValueWeight) continue;
    const uint64_t ti = load_u64(rec + 88);
    if (ti >= tensors) {
      std::free(plan);
      return false;
    }
    store_u64(rec + 96, plan[ti].dst_offset);
    const uint64_t ek = load_u64(rec + 8);
    if (ek == kElemF16 || ek == kElemQ8) {
      uint64_t bytes;
      if (__builtin_mul_overflow(load_u64(rec + 72), 4, &bytes)) {
        std::free(plan);
        return false;
      }
      store_u64(rec + 8, kElemF32);
      store_u64(rec + 80, bytes);
    }
  }
  h->data_size = r;
  h->widen_plan = plan;
  h->widen_count = tensors;
  return true;
}

}  // namespace

bool container_sections_valid(ContainerHandle* h) {
  return h != nullptr && h->meta != nullptr && sections_valid(h->meta, h->meta_len, &h->data_size);
}

bool container_plan_widening(ContainerHandle* h) {
  return h != nullptr && h->meta != nullptr && h->widen_plan == nullptr && plan_widening(h);
}

Slice container_status_text(uint32_t code) {
  if (code >= sizeof(kStatusTexts) / sizeof(kStatusTexts[0])) return empty_slice();
  return slice_of(std::string_view(kStatusTexts[code]));
}

ContainerResult container_open_fd(int fd, uint64_t offset, uint64_t length, uint32_t flags) {
  struct stat st;
  if (fstat(fd, &st) != 0) return fail(kContainerBadSections);
  if (st.st_size < 0 || uint64_t(st.st_size) < offset) return fail(kContainerBadSections);
  const uint64_t file_size = uint64_t(st.st_size);
  if (length < kHeaderSize || length > file_size - offset) return fail(kContainerBadSections);

  int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return fail(kContainerIoFailed);
  uint8_t header[kHeaderSize];
  if (!pread_all(dup_fd, header, kHeaderSize, offset)) {
    close(dup_fd);
    return fail(kContainerIoFailed);
  }
  if (!container_header_fields_valid(header, length)) {
    close(dup_fd);
    return fail(kContainerBadHeader);
  }
  if (!container_header_digest_valid(header)) {
    close(dup_fd);
    return fail(kContainerHashMismatch);
  }
  const uint64_t m = load_u64(header + kHdrMetaEnd);
  ContainerHandle h;
  h.meta = static_cast<uint8_t*>(std::malloc(m));
  if (h.meta == nullptr) {
    close(dup_fd);
    return fail(kContainerAllocFailed);
  }
  h.meta_len = m;
  h.fd = dup_fd;
  h.data_offset = m;
  h.base = offset;
  std::memcpy(h.meta, header, kHeaderSize);
  uint32_t code = kContainerIoFailed;
  if (!pread_all(dup_fd, h.meta + kHeaderSize, m - kHeaderSize, offset + kHeaderSize)) goto failed;
  code = kContainerHashMismatch;
  if (!xxh3_128_matches(h.meta + kHeaderSize, m - kHeaderSize, h.meta + kHdrMetaDigest)) goto failed;
  code = kContainerBadPlan;
  if (!sections_valid(h.meta, m, &h.data_size)) goto failed;
  code = kContainerBadTensor;
  if ((flags & kContainerOpenWiden) != 0 && !plan_widening(&h)) goto failed;
  return ContainerResult::success(h);
failed:
  container_close(&h);
  return fail(code);
}

ContainerResult container_open_path(Slice path) {
  CString c = slice_to_cstr(path);
  if (c.tag != 0) return fail(kContainerIoFailed);
  ContainerResult r = container_open_path(cstr_ptr(c));
  cstr_free(&c);
  return r;
}

ContainerResult container_open_path(const char* path) {
  if (path == nullptr) return fail(kContainerIoFailed);
  int64_t size = 0;
  const int fd = open_regular_file(path, &size);
  if (fd < 0) return fail(kContainerIoFailed);
  ContainerResult r = container_open_fd(fd, 0, uint64_t(size), kContainerOpenWiden);
  close(fd);
  return r;
}

void container_close(ContainerHandle* h) {
  if (h == nullptr) return;
  std::free(h->meta);
  std::free(h->widen_plan);
  if (h->fd >= 0) close(h->fd);
  *h = ContainerHandle{};
}

}  // namespace vorn
