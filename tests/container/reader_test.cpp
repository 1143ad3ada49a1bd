// Writer to reader round trips on random models, opening by path and by
// descriptor range, and the widening plan.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include "container/container.h"
#include "container/meta.h"
#include "container/widen.h"
#include "container/writer.h"
#include "container_fixture.h"
#include "gpu/weight_loader.h"

namespace vorn {
namespace {

using test::Model;
using test::TempDir;

std::string text(Slice s) { return std::string(s.view()); }

TEST(ContainerRoundTrip, RandomModelsReadBackExactly) {
  TempDir dir;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    Model m = test::random_model(seed);
    const std::string path = dir.file("m.vorn");
    std::string err;
    ASSERT_TRUE(container_write_file(m.spec, path.c_str(), &err)) << err;
    std::vector<uint8_t> mem;
    ASSERT_TRUE(container_write_memory(m.spec, &mem, &err));
    EXPECT_EQ(mem, test::read_bytes(path));

    // Stored form: no widening.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ContainerResult raw = container_open_fd(fd, 0, mem.size(), 0);
    close(fd);
    ASSERT_TRUE(raw.ok()) << text(container_status_text(raw.error));
    ContainerHandle h = raw.value;
    EXPECT_EQ(h.widen_plan, nullptr);
    ASSERT_EQ(container_tensor_count(&h), m.spec.tensors.size());
    for (uint64_t t = 0; t < m.spec.tensors.size(); ++t) {
      TensorRecord r = container_tensor_record(&h, t);
      EXPECT_EQ(r.kind, m.spec.tensors[t].kind);
      EXPECT_EQ(r.byte_size, m.data[t].size());
      EXPECT_EQ(r.index, t);
      EXPECT_EQ(0, std::memcmp(mem.data() + h.meta_len + r.relative_offset, m.data[t].data(), m.data[t].size()));
      TensorShapeView s = container_tensor_shape(&h, t);
      EXPECT_EQ(s.count, m.widened[t].size());
      EXPECT_EQ(s.f32_byte_size, m.widened[t].size() * 4);
    }
    // Data checksum over the data region, from its definition.
    uint32_t fold = 0;
    for (uint64_t i = h.meta_len; i + 4 <= mem.size(); i += 4) fold ^= load_u32(mem.data() + i);
    EXPECT_EQ(load_u32(h.meta + kHdrDataChecksum), fold);
    EXPECT_TRUE(container_verify_tensor_hashes(&h, mem.data() + h.meta_len));
    EXPECT_EQ(text(container_meta_str(&h, "model.name", empty_slice())), "random-" + std::to_string(seed));
    EXPECT_EQ(container_meta_i64(&h, "model.batch", 7), -int64_t(seed % 1000));
    EXPECT_EQ(container_meta_bool(&h, "model.nms", 0), seed % 2 == 0);
    EXPECT_EQ(container_value_count(&h), m.spec.values.size());
    EXPECT_EQ(text(container_value_name(&h, 0)), "value.0");
    container_close(&h);

    // Widened form through the session loader and the parallel loader.
    ModelLoadResult loaded = model_load_path(slice_of(path));
    ASSERT_TRUE(loaded.ok()) << text(bytes_as_slice(loaded.error));
    h = loaded.value;
    WeightBuffer wb = weight_buffer_alloc(round_up(h.data_size, kAlignment), 0);
    ASSERT_EQ(wb.tag, 0u);
    WeightSlot slot = weight_slot_from_buffer(wb);
    LoadResult lr = weights_load_parallel(&h, &slot, 1 + seed % 16, seed % 2);
    ASSERT_EQ(lr.tag, 0u) << lr.code;
    for (uint64_t t = 0; t < m.spec.tensors.size(); ++t) {
      TensorRecord r = container_tensor_record(&h, t);
      EXPECT_EQ(r.kind, kElemF32);
      ASSERT_EQ(r.byte_size, m.widened[t].size() * 4);
      EXPECT_EQ(0, std::memcmp(slot.data + r.relative_offset, m.widened[t].data(), r.byte_size)) << "tensor " << t;
      ValueRecord v = container_value_record(&h, t);
      EXPECT_EQ(v.elem_kind(), kElemF32);
      EXPECT_EQ(v.data_offset(), r.relative_offset);
      EXPECT_EQ(v.bytes(), r.byte_size);
    }
    EXPECT_TRUE(container_verify_tensor_hashes(&h, slot.data));
    weight_slot_release(&slot);
    container_close(&h);
  }
}

TEST(ContainerRoundTrip, OpensAtAnOffsetInsideALargerFile) {
  Model m = test::random_model(99);
  std::vector<uint8_t> mem;
  ASSERT_TRUE(container_write_memory(m.spec, &mem, nullptr));
  std::vector<uint8_t> padded(4096 + mem.size() + 777, 0xAB);
  std::memcpy(padded.data() + 4096, mem.data(), mem.size());
  test::MemFile file(padded);
  ASSERT_GE(file.fd, 0);
  ModelLoadResult r = model_load_fd(file.fd, 4096, mem.size());
  ASSERT_TRUE(r.ok()) << text(bytes_as_slice(r.error));
  ContainerHandle h = r.value;
  EXPECT_EQ(h.base, 4096u);
  WeightBuffer wb = weight_buffer_alloc(round_up(h.data_size, kAlignment), 0);
  WeightSlot slot = weight_slot_from_buffer(wb);
  ASSERT_EQ(weights_load_parallel(&h, &slot, 3, 0).tag, 0u);
  TensorRecord t0 = container_tensor_record(&h, 0);
  EXPECT_EQ(0, std::memcmp(slot.data + t0.relative_offset, m.widened[0].data(), t0.byte_size));
  weight_slot_release(&slot);
  container_close(&h);
  // The handle owns a duplicate: the caller's descriptor stays usable.
  EXPECT_GE(fcntl(file.fd, F_GETFD), 0);
}

TEST(ContainerRoundTrip, AllF32ModelHasNoPlanAndKeepsDataSize) {
  std::mt19937_64 rng(5);
  Model m;
  test::add_f32(m, "a", 10, rng);
  test::add_f32(m, "b", 5000, rng);
  m.spec.values.push_back({test::value_record(kValueWeight, kElemF32, {10}, 0), "a"});
  m.attach();
  std::vector<uint8_t> mem;
  ASSERT_TRUE(container_write_memory(m.spec, &mem, nullptr));
  test::MemFile file(mem);
  ASSERT_GE(file.fd, 0);
  ContainerResult r = container_open_fd(file.fd, 0, mem.size(), kContainerOpenWiden);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.widen_plan, nullptr);
  EXPECT_EQ(r.value.data_size, 3 * kAlignment);  // 40 bytes and 20000 bytes
  container_close(&r.value);
}

TEST(ContainerRoundTrip, TrailingBlobsFollowTheDataRegion) {
  std::mt19937_64 rng(6);
  Model m;
  test::add_f32(m, "a", 10, rng);
  m.attach();
  const std::string first = "{\"a\": 1}", second(37, 'z');
  m.spec.trailing = {slice_of(first.data(), first.size()), slice_of(second.data(), second.size())};
  std::vector<uint8_t> mem, file_bytes;
  ContainerLayout lay;
  ASSERT_TRUE(container_build_metadata(m.spec, &file_bytes, &lay, nullptr));
  ASSERT_TRUE(container_write_memory(m.spec, &mem, nullptr));
  test::MemFile file(mem);
  ContainerResult r = container_open_fd(file.fd, 0, mem.size(), kContainerOpenWiden);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.data_size, kAlignment);  // the weights only
  EXPECT_EQ(lay.trailing_offsets, (std::vector<uint64_t>{lay.meta_end + kAlignment, lay.meta_end + kAlignment + 16}));
  EXPECT_EQ(mem.size(), lay.trailing_offsets[1] + 48);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mem.data() + lay.trailing_offsets[1]), 37), second);
  uint32_t fold = 0;
  for (uint64_t i = lay.meta_end; i + 4 <= mem.size(); i += 4) fold ^= load_u32(mem.data() + i);
  EXPECT_EQ(load_u32(mem.data() + kHdrDataChecksum), fold);
  container_close(&r.value);
}

TEST(ContainerRoundTrip, F16WeightPlanEntryAndRewrittenRecord) {
  std::mt19937_64 rng(6);
  Model m;
  const uint64_t dims[2] = {3, 5};
  test::add_f16(m, "w", 2, dims, rng);
  m.spec.values.push_back({test::value_record(kValueWeight, kElemF16, {3, 5}, 0), "w"});
  m.attach();
  std::vector<uint8_t> mem;
  ASSERT_TRUE(container_write_memory(m.spec, &mem, nullptr));
  test::MemFile file(mem);
  ASSERT_GE(file.fd, 0);
  ContainerResult r = container_open_fd(file.fd, 0, mem.size(), kContainerOpenWiden);
  ASSERT_TRUE(r.ok());
  ContainerHandle h = r.value;
  ASSERT_EQ(h.widen_count, 1u);
  EXPECT_EQ(h.widen_plan[0].src_kind, kElemF16);
  EXPECT_EQ(h.widen_plan[0].rows, 3u);
  EXPECT_EQ(h.widen_plan[0].cols, 5u);
  TensorRecord t = container_tensor_record(&h, 0);
  EXPECT_EQ(t.rank, 1u);
  EXPECT_EQ(t.dims[0], 15u);
  EXPECT_EQ(t.byte_size, 60u);
  EXPECT_EQ(t.padded_size, kAlignment);
  EXPECT_EQ(t.row_bytes, 60u);
  ValueRecord v = container_value_record(&h, 0);
  EXPECT_EQ(v.elem_kind(), kElemF32);
  EXPECT_EQ(v.bytes(), 60u);
  container_close(&h);
}

// Stored sizes from the shape: whole blocks a row, and 0 (refused) when a row
// or the whole tensor does not fit in 64 bits rather than a wrapped size.
TEST(ContainerWriter, StoredSizes) {
  const uint64_t big = (uint64_t{1} << 62) + 1;
  struct Case {
    uint64_t kind, rank;
    uint64_t dims[2];
    uint64_t size, row;
  } cases[] = {
      {kElemF32, 2, {3, 5}, 60, 20},
      {kElemF16, 0, {0, 0}, 2, 2},
      {kElemQ8, 2, {2, 65}, 272, 136},
      {kElemQ8, 1, {64, 0}, 68, 68},
      {kElemF32, 1, {big, 0}, 0, 0},
      {kElemF16, 1, {(uint64_t{1} << 63) + 1, 0}, 0, 0},
      {kElemQ8, 1, {UINT64_MAX, 0}, 0, 0},
      {kElemF32, 2, {big, 4}, 0, 16},
      {kElemI64, 1, {4, 0}, 0, 0},
      {kElemF32, 2, {3, 0}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " dims " << c.dims[0] << "x" << c.dims[1]);
    uint64_t row = 0;
    EXPECT_EQ(tensor_stored_size(c.kind, c.rank, c.dims, &row), c.size);
    EXPECT_EQ(row, c.row);
  }
}

TEST(ContainerRoundTrip, StatusTexts) {
  const char* want[] = {"I/O failed", "invalid header/version/file size", "invalid section bounds",
                        "metadata/header hash mismatch", "invalid load plan/group coverage", "invalid tensor record",
                        "allocation failed", "slot is busy", "slot too small", "backend failed",
                        "tensor hash mismatch"};
  for (uint32_t c = 0; c <= 10; ++c) EXPECT_EQ(text(container_status_text(c)), want[c]);
  EXPECT_EQ(container_status_text(11).len, 0u);
}

TEST(ContainerRoundTrip, LoaderEdgeMessages) {
  TempDir dir;
  Model m = test::random_model(3);
  std::vector<uint8_t> mem;
  ASSERT_TRUE(container_write_memory(m.spec, &mem, nullptr));
  test::MemFile file(mem);
  ASSERT_GE(file.fd, 0);
  ModelLoadResult r = model_load_fd(file.fd, 0, 512);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(text(bytes_as_slice(r.error)), "invalid file descriptor or length");
  bytes_free(&r.error);
  ContainerResult c = container_open_fd(file.fd, 0, 512, 1);
  EXPECT_EQ(c.error, kContainerBadHeader);

  test::write_bytes(dir.file("small"), std::vector<uint8_t>(512, 0));
  r = model_load_path(slice_of(dir.file("small")));
  EXPECT_EQ(text(bytes_as_slice(r.error)), "invalid container header");
  bytes_free(&r.error);
  r = model_load_path(slice_of(dir.file("missing")));
  EXPECT_EQ(text(bytes_as_slice(r.error)), "failed reading model");
  bytes_free(&r.error);
  EXPECT_EQ(container_open_path(dir.file("missing").c_str()).error, kContainerIoFailed);

  // A metadata digest mismatch through the session loader.
  mem[600] ^= 1;
  test::write_bytes(dir.file("bad"), mem);
  r = model_load_path(slice_of(dir.file("bad")));
  EXPECT_EQ(text(bytes_as_slice(r.error)), "metadata/header hash mismatch");
  bytes_free(&r.error);
}

}  // namespace
}  // namespace vorn
