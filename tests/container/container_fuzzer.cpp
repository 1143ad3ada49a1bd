// Fuzzes the container reader, the typed metadata access, the session
// loader's layout checks, the weight loader and the metadata editor. The
// input is tried as it is (digest checks) and once more re-signed, so that
// mutations reach the structural checks behind the digests.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/digest.h"
#include "container/format.h"
#include "container/meta.h"
#include "container/meta_edit.h"
#include "gpu/weight_loader.h"

namespace {

using namespace vorn;

void exercise(const ContainerHandle* h) {
  const uint64_t metas = container_meta_count(h);
  for (uint64_t i = 0; i < metas && i < 256; ++i) {
    MetaRecord r = container_meta_record(h, i);
    Slice key = container_meta_key(h, r);
    std::string_view k = key.view();
    (void)container_meta_str(h, k, empty_slice());
    (void)container_meta_f64(h, k, 0.0);
    (void)container_meta_i64(h, k, 0);
    (void)container_meta_bool(h, k, 0);
    for (uint64_t j = 0; j < 4; ++j) (void)container_meta_list_item(h, k, j);
    uint64_t n = 0;
    const uint8_t* p = container_meta_f32_array(h, k, &n);
    if (p != nullptr && n > 0) {
      volatile uint8_t sink = p[n * 4 - 1];
      (void)sink;
    }
  }
  for (uint64_t t = 0; t < container_tensor_count(h) && t < 64; ++t) (void)container_tensor_shape(h, t);
  for (uint64_t i = 0; i < container_value_count(h) && i < 64; ++i) (void)container_value_name(h, i);
  for (uint64_t i = 0; i < container_node_count(h) && i < 64; ++i) (void)container_node_record(h, i);
  (void)container_pool_used_end(h->meta, h->meta_len);
}

void load_weights(const ContainerHandle* h) {
  if (h->data_size == 0 || h->data_size > (uint64_t(64) << 20)) return;
  WeightBuffer b = weight_buffer_alloc(round_up(h->data_size, kAlignment), 0);
  if (b.tag != 0) return;
  WeightSlot slot = weight_slot_from_buffer(b);
  if (weights_load_parallel(h, &slot, 3, 0).tag == 0) (void)container_verify_tensor_hashes(h, slot.data);
  weight_slot_release(&slot);
}

void run(int fd, uint64_t size) {
  for (uint32_t flags : {0u, kContainerOpenWiden}) {
    ContainerResult r = container_open_fd(fd, 0, size, flags);
    if (!r.ok()) continue;
    exercise(&r.value);
    load_weights(&r.value);
    container_close(&r.value);
  }
  ModelLoadResult m = model_load_fd(fd, 0, size);
  if (m.ok()) {
    exercise(&m.value);
    load_weights(&m.value);
    container_close(&m.value);
  } else {
    bytes_free(&m.error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("vorn-fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  if (size > 0 && write(fd, bytes.data(), size) == ssize_t(size)) run(fd, size);
  // Re-signed copy: only the structure can refuse it now.
  if (size >= kHeaderSize) {
    const uint64_t m = load_u64(bytes.data() + kHdrMetaEnd);
    if (m >= kHeaderSize && m <= size) {
      container_seal_metadata(bytes.data(), m);
      if (pwrite(fd, bytes.data(), kHeaderSize, 0) == ssize_t(kHeaderSize) &&
          pwrite(fd, bytes.data() + kHeaderSize, m - kHeaderSize, kHeaderSize) == ssize_t(m - kHeaderSize)) {
        run(fd, size);
        // The editor on the same bytes, as a file of its own: every edit
        // writes its new file beside it (in memory where /dev/shm exists).
        std::string path = access("/dev/shm", W_OK) == 0 ? "/dev/shm/vorn_fuzz_XXXXXX" : "/tmp/vorn_fuzz_XXXXXX";
        int out = mkostemp(path.data(), O_CLOEXEC);
        const bool written = out >= 0 && write(out, bytes.data(), size) == ssize_t(size);
        if (out >= 0) close(out);
        if (!written) {
          if (out >= 0) unlink(path.c_str());
          close(fd);
          return 0;
        }
        MetaEditResult e = container_meta_set(slice_of(std::string_view(path)), slice_of(std::string_view("fuzz.key")),
                                              kMetaString, 0, 0, slice_of(std::string_view("v")), 0);
        if (!e.ok()) bytes_free(&e.error);
        e = container_meta_delete(slice_of(std::string_view(path)), slice_of(std::string_view("fuzz.key")));
        if (!e.ok()) bytes_free(&e.error);
        unlink(path.c_str());
      }
    }
  }
  close(fd);
  return 0;
}
