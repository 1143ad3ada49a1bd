// The parallel weight loader. Records (load groups, or tensors of the
// widening plan) are dealt out interleaved: thread k takes k, k + n, ... so
// neighbouring groups are read at the same time. Each thread reads by
// position from the handle's private descriptor and writes only its own
// destination ranges, so nothing is locked per record.
#include "gpu/weight_loader.h"

#include <fcntl.h>

#include <cstdlib>
#include <exception>
#include <thread>

#include "base/atomics.h"
#include "base/files.h"
#include "container/format.h"
#include "container/sections.h"
#include "container/widen.h"

namespace vorn {

namespace {

enum : uint32_t { kWorkOk = 0, kWorkReadFailed = 1, kWorkWidenFailed = 2 };

struct Work {
  int fd;
  uint64_t base;
  uint8_t* dst;
  uint64_t dst_size;
  const WidenEntry* plan;        // widening plan, or null for range records
  const uint8_t* meta;           // metadata image (range records)
  uint64_t ranges_offset;        // first section-7 record
  uint64_t ranges_stride;
  uint64_t count;
  uint64_t first;
  uint64_t step;
  uint32_t no_cache;
  uint32_t result;
};

// Reads a range and, when asked, lets the kernel drop its cached pages at
// once, so a model's weights do not crowd out the page cache.
bool read_range(const Work* w, void* dst, uint64_t length, uint64_t offset) {
  if (!pread_all(w->fd, dst, length, offset)) return false;
  if (w->no_cache != 0) posix_fadvise(w->fd, off_t(offset), off_t(length), POSIX_FADV_DONTNEED);
  return true;
}

void worker_plan(Work* w) {
  uint64_t scratch_size = 1;
  for (uint64_t i = w->first; i < w->count; i += w->step) {
    const WidenEntry& e = w->plan[i];
    if (e.src_kind != kElemF32 && e.src_bytes > scratch_size) scratch_size = e.src_bytes;
  }
  auto* scratch = static_cast<uint8_t*>(std::malloc(scratch_size));
  if (scratch == nullptr) {
    w->result = kWorkReadFailed;
    return;
  }
  for (uint64_t i = w->first; i < w->count; i += w->step) {
    const WidenEntry& e = w->plan[i];
    uint64_t out_bytes;
    // The plan was built from validated records; this guards the slot anyway.
    if (__builtin_mul_overflow(e.rows, e.cols, &out_bytes) || __builtin_mul_overflow(out_bytes, 4, &out_bytes) ||
        !range_fits(e.dst_offset, out_bytes, w->dst_size)) {
      w->result = kWorkWidenFailed;
      break;
    }
    uint8_t* dst = w->dst + e.dst_offset;
    if (e.src_kind == kElemF32) {
      if (!range_fits(e.dst_offset, e.src_bytes, w->dst_size) || !read_range(w, dst, e.src_bytes, w->base + e.src_offset)) {
        w->result = kWorkReadFailed;
        break;
      }
      continue;
    }
    if (!read_range(w, scratch, e.src_bytes, w->base + e.src_offset)) {
      w->result = kWorkReadFailed;
      break;
    }
    if (!weights_to_f32(e.src_kind, e.rows, e.cols, scratch, reinterpret_cast<float*>(dst))) {
      w->result = kWorkWidenFailed;
      break;
    }
  }
  std::free(scratch);
}

void worker_table(Work* w) {
  for (uint64_t i = w->first; i < w->count; i += w->step) {
    const uint8_t* r = w->meta + w->ranges_offset + w->ranges_stride * i;
    const uint64_t src = load_u64(r);
    const uint64_t len = load_u64(r + 8);
    const uint64_t dst = load_u64(r + 16);
    if (!range_fits(dst, len, w->dst_size) || !read_range(w, w->dst + dst, len, w->base + src)) {
      w->result = kWorkReadFailed;
      return;
    }
  }
}

void run_share(Work* w) {
  if (w->plan != nullptr)
    worker_plan(w);
  else
    worker_table(w);
}

LoadResult failure(WeightSlot* slot, uint32_t code, bool unlock) {
  if (unlock) atomic_store_u32(&slot->busy, 0, 2);
  return LoadResult{1, code};
}

}  // namespace

bool fd_set_nocache(int fd, uint32_t flag) {
  // Linux has no per-descriptor cache switch: the flag selects the access
  // advice here, and the workers drop each range from the cache after
  // reading it (see read_range).
  if (fcntl(fd, F_GETFD) < 0) return false;
  posix_fadvise(fd, 0, 0, (flag & 1) != 0 ? POSIX_FADV_NOREUSE : POSIX_FADV_NORMAL);
  return true;
}

LoadResult weights_load_parallel(const ContainerHandle* handle, WeightSlot* slot, uint64_t threads, uint32_t no_cache) {
  if (handle == nullptr || slot == nullptr || handle->meta == nullptr) return LoadResult{1, kContainerIoFailed};
  if (slot->data == nullptr || slot->length < handle->data_size) return LoadResult{1, kContainerSlotTooSmall};
  if (threads < 1 || threads > kMaxLoadThreads) return LoadResult{1, kContainerBadPlan};
  if (atomic_cas_u32(&slot->busy, 0, 1, 1) != 0) return LoadResult{1, kContainerSlotBusy};
  if (!fd_set_nocache(handle->fd, no_cache)) return failure(slot, kContainerIoFailed, true);

  SectionView v{handle->meta, handle->meta_len};
  Work work[kMaxLoadThreads];
  const uint64_t count = handle->widen_plan ? handle->widen_count : v.count(kSecGroups);
  for (uint64_t k = 0; k < threads; ++k) {
    work[k] = Work{handle->fd, handle->base, slot->data, slot->length, handle->widen_plan, handle->meta,
                   v.record(kSecRanges, 0), v.stride(kSecRanges), count, k, threads, no_cache & 1, kWorkOk};
  }
  std::thread pool[kMaxLoadThreads];
  uint64_t started = 0;
  bool all_started = true;
  for (uint64_t k = 1; k < threads; ++k) {
    try {
      pool[k] = std::thread(run_share, &work[k]);
      ++started;
    } catch (const std::exception&) {  // std::system_error, or std::bad_alloc for its state
      all_started = false;
      break;
    }
  }
  if (threads >= 2 && started == 0) return failure(slot, kContainerIoFailed, true);
  if (all_started) run_share(&work[0]);
  for (uint64_t k = 1; k <= started; ++k) pool[k].join();
  if (!all_started) return failure(slot, kContainerIoFailed, true);

  for (uint64_t k = 0; k < threads; ++k) {
    if (work[k].result == kWorkOk) continue;
    if (handle->widen_plan != nullptr && work[k].result == kWorkWidenFailed)
      return failure(slot, kContainerBadTensor, true);
    return failure(slot, kContainerIoFailed, true);
  }
  return LoadResult{0, 0};
}

}  // namespace vorn
