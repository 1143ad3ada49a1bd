// The parallel loader: every thread count, fewer records than threads,
// both record sources (load groups and the widening plan), refusals, and
// failures that must unlock the slot.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include "container/container.h"
#include "container/container_fixture.h"
#include "gpu/weight_loader.h"

namespace vorn {
namespace {

struct Loaded {
  std::vector<uint8_t> file;
  ContainerHandle h{};
  int fd = -1;
  Loaded(const test::Model& m, uint32_t flags) {
    EXPECT_TRUE(container_write_memory(m.spec, &file, nullptr));
    fd = memfd_create("vorn", MFD_CLOEXEC);
    EXPECT_EQ(write(fd, file.data(), file.size()), ssize_t(file.size()));
    reopen(flags);
  }
  void reopen(uint32_t flags) {
    container_close(&h);
    ContainerResult r = container_open_fd(fd, 0, file.size(), flags);
    EXPECT_TRUE(r.ok());
    if (r.ok()) h = r.value;
  }
  ~Loaded() {
    container_close(&h);
    close(fd);
  }
};

WeightSlot host_slot(uint64_t size) {
  WeightBuffer b = weight_buffer_alloc(round_up(size ? size : 1, kAlignment), 0);
  EXPECT_EQ(b.tag, 0u);
  return weight_slot_from_buffer(b);
}

// Many small F32 tensors in one group each (raw copy of load groups), or
// mixed kinds (the widening plan).
test::Model many_groups(uint64_t n, bool mixed) {
  std::mt19937_64 rng(n * 7 + mixed);
  test::Model m;
  for (uint64_t t = 0; t < n; ++t) {
    if (mixed && t % 3 == 1) {
      const uint64_t dims[2] = {2, 1 + t};
      test::add_f16(m, "h" + std::to_string(t), 2, dims, rng);
    } else if (mixed && t % 3 == 2) {
      test::add_q8(m, "q" + std::to_string(t), 3, 1 + 10 * t, rng);
    } else {
      test::add_f32(m, "f" + std::to_string(t), 1 + 997 * t, rng);
    }
    m.spec.group_counts.push_back(1);
    WriterValue v;
    v.name = "v";
    v.record = test::value_record(kValueWeight, m.spec.tensors[t].kind, {m.widened[t].size()}, t);
    v.record.w[10] = m.data[t].size();
    m.spec.values.push_back(v);
  }
  m.attach();
  return m;
}

void expect_loaded(const ContainerHandle& h, const WeightSlot& slot, const test::Model& m) {
  for (uint64_t t = 0; t < m.widened.size(); ++t) {
    TensorRecord r = container_tensor_record(&h, t);
    if (h.widen_plan == nullptr) {
      ASSERT_EQ(0, std::memcmp(slot.data + r.relative_offset, m.data[t].data(), m.data[t].size())) << t;
    } else {
      ASSERT_EQ(0, std::memcmp(slot.data + r.relative_offset, m.widened[t].data(), m.widened[t].size() * 4)) << t;
    }
  }
}

TEST(WeightLoader, EveryThreadCountLoadsEveryRecord) {
  for (bool mixed : {false, true}) {
    test::Model m = many_groups(23, mixed);
    Loaded l(m, kContainerOpenWiden);
    EXPECT_EQ(l.h.widen_plan != nullptr, mixed);
    for (uint64_t threads = 1; threads <= 16; ++threads) {
      SCOPED_TRACE(threads);
      WeightSlot slot = host_slot(l.h.data_size);
      std::memset(slot.data, 0xEE, slot.length);
      LoadResult r = weights_load_parallel(&l.h, &slot, threads, threads % 2);
      ASSERT_EQ(r.tag, 0u) << r.code;
      EXPECT_EQ(slot.busy, 1u);
      expect_loaded(l.h, slot, m);
      EXPECT_TRUE(container_verify_tensor_hashes(&l.h, slot.data));
      weight_slot_release(&slot);
    }
  }
}

TEST(WeightLoader, FewerRecordsThanThreads) {
  for (uint64_t n : {1, 2, 3}) {
    test::Model m = many_groups(n, n == 3);
    Loaded l(m, kContainerOpenWiden);
    WeightSlot slot = host_slot(l.h.data_size);
    ASSERT_EQ(weights_load_parallel(&l.h, &slot, 16, 0).tag, 0u);
    expect_loaded(l.h, slot, m);
    weight_slot_release(&slot);
  }
}

TEST(WeightLoader, RefusalsBeforeTheBusyWordIsTaken) {
  test::Model m = many_groups(4, false);
  Loaded l(m, 0);
  WeightSlot slot = host_slot(l.h.data_size);
  EXPECT_EQ(weights_load_parallel(&l.h, &slot, 0, 0).code, kContainerBadPlan);
  EXPECT_EQ(weights_load_parallel(&l.h, &slot, 17, 0).code, kContainerBadPlan);
  EXPECT_EQ(slot.busy, 0u);
  WeightSlot small = slot;
  small.length = l.h.data_size - kAlignment;
  EXPECT_EQ(weights_load_parallel(&l.h, &small, 4, 0).code, kContainerSlotTooSmall);
  EXPECT_EQ(small.busy, 0u);

  ASSERT_EQ(weights_load_parallel(&l.h, &slot, 4, 0).tag, 0u);
  LoadResult again = weights_load_parallel(&l.h, &slot, 4, 0);
  EXPECT_EQ(again.tag, 1u);
  EXPECT_EQ(again.code, kContainerSlotBusy);
  EXPECT_EQ(slot.busy, 1u);  // the first load keeps it
  weight_slot_unlock(&slot);
  EXPECT_EQ(weights_load_parallel(&l.h, &slot, 4, 0).tag, 0u);
  weight_slot_release(&slot);
}

TEST(WeightLoader, DigestMismatchIsCaught) {
  for (uint32_t flags : {0u, kContainerOpenWiden}) {
    test::Model m = many_groups(6, true);
    Loaded l(m, flags);
    // Change one stored byte in the file after the open: the load succeeds,
    // the digest check does not.
    const TensorRecord t = container_tensor_record(&l.h, 0);
    const uint64_t at = l.h.meta_len + (flags ? l.h.widen_plan[0].src_offset - l.h.meta_len : t.relative_offset);
    uint8_t b = l.file[at] ^ 0x10;
    ASSERT_EQ(pwrite(l.fd, &b, 1, off_t(at)), 1);
    WeightSlot slot = host_slot(l.h.data_size);
    ASSERT_EQ(weights_load_parallel(&l.h, &slot, 3, 0).tag, 0u);
    EXPECT_FALSE(container_verify_tensor_hashes(&l.h, slot.data)) << flags;
    weight_slot_release(&slot);
  }
}

TEST(WeightLoader, BadQ8BlockFailsWideningAndUnlocks) {
  test::Model m = many_groups(3, true);  // tensor 2 is Q8
  Loaded l(m, kContainerOpenWiden);
  const float bad = -1.0f;
  ASSERT_EQ(pwrite(l.fd, &bad, 4, off_t(l.h.widen_plan[2].src_offset + 64)), 4);
  WeightSlot slot = host_slot(l.h.data_size);
  LoadResult r = weights_load_parallel(&l.h, &slot, 2, 0);
  EXPECT_EQ(r.tag, 1u);
  EXPECT_EQ(r.code, kContainerBadTensor);
  EXPECT_EQ(slot.busy, 0u);
  weight_slot_release(&slot);
}

TEST(WeightLoader, ShortFileFailsWithIoAndUnlocks) {
  for (uint32_t flags : {0u, kContainerOpenWiden}) {
    test::Model m = many_groups(5, true);
    Loaded l(m, flags);
    ASSERT_EQ(ftruncate(l.fd, off_t(l.h.meta_len + kAlignment)), 0);
    WeightSlot slot = host_slot(l.h.data_size);
    LoadResult r = weights_load_parallel(&l.h, &slot, 5, 0);
    EXPECT_EQ(r.tag, 1u);
    EXPECT_EQ(r.code, kContainerIoFailed);
    EXPECT_EQ(slot.busy, 0u);
    weight_slot_release(&slot);
  }
}

}  // namespace
}  // namespace vorn
