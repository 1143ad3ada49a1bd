// One mutation per validation rule of the reader, each re-signed with fresh
// digests so that only the rule under test can fail, and each refused with
// its exact status. Accepted borderline layouts are in the same table.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <functional>

#include "container/container.h"
#include "container_fixture.h"

namespace vorn {
namespace {

using Image = std::vector<uint8_t>;

// Base: three tensors (F32, F16, Q8) in two groups, weight values and a node.
Image base_image() {
  std::mt19937_64 rng(11);
  test::Model m;
  test::add_f32(m, "a", 4096, rng);  // exactly one 16 KiB extent
  const uint64_t dims[2] = {3, 5};
  test::add_f16(m, "b", 2, dims, rng);
  test::add_q8(m, "c", 2, 65, rng);
  m.spec.group_counts = {1, 2};
  m.spec.group_names = {"first", "second"};
  m.spec.values.push_back({test::value_record(kValueWeight, kElemF32, {4096}, 0), "a"});
  m.spec.values.push_back({test::value_record(kValueWeight, kElemF16, {3, 5}, 1), "b"});
  ValueRecord q = test::value_record(kValueWeight, kElemQ8, {2, 65}, 2);
  q.w[10] = m.data[2].size();
  m.spec.values.push_back({q, "c"});
  m.spec.values.push_back({test::value_record(kValueGraphInput, kElemF32, {1, 4}), "in"});
  m.attach();
  Image img;
  EXPECT_TRUE(container_write_memory(m.spec, &img, nullptr));
  return img;
}

uint64_t sec(const Image& c, uint64_t s) { return load_u64(c.data() + kHdrDirectory + 16 * s); }
uint64_t rec(const Image& c, uint64_t s, uint64_t j) {
  return sec(c, s) + 32 + load_u64(c.data() + sec(c, s) + 8) * j;
}
void put(Image& c, uint64_t at, uint64_t v) { store_u64(c.data() + at, v); }
void add(Image& c, uint64_t at, uint64_t d) { store_u64(c.data() + at, load_u64(c.data() + at) + d); }
uint64_t meta_end(const Image& c) { return load_u64(c.data() + kHdrMetaEnd); }

uint32_t open_status(const Image& c, uint64_t offset = 0, uint64_t length = UINT64_MAX) {
  test::MemFile file(c);
  if (file.fd < 0) return 99;
  ContainerResult r = container_open_fd(file.fd, offset, length == UINT64_MAX ? c.size() : length, kContainerOpenWiden);
  if (r.ok()) {
    container_close(&r.value);
    return 100;  // accepted
  }
  return r.error;
}

struct Mutation {
  const char* rule;
  std::function<void(Image&)> apply;
  uint32_t want;  // ContainerStatus, or 100 when the layout is accepted
  bool resign = true;
};

constexpr uint32_t kAccepted = 100;

const std::vector<Mutation>& mutations() {
  static const std::vector<Mutation> table = {
      {"unchanged", [](Image&) {}, kAccepted},
      {"magic", [](Image& c) { c[0] = 'X'; }, kContainerBadHeader},
      {"magic padding", [](Image& c) { c[5] = 1; }, kContainerBadHeader},
      {"version", [](Image& c) { put(c, kHdrVersion, 2); }, kContainerBadHeader},
      {"version 0", [](Image& c) { put(c, kHdrVersion, 0); }, kContainerBadHeader},
      {"header size", [](Image& c) { put(c, kHdrHeaderSize, 511); }, kContainerBadHeader},
      {"file size", [](Image& c) { add(c, kHdrFileSize, 1); }, kContainerBadHeader},
      {"alignment", [](Image& c) { put(c, kHdrAlignment, 4096); }, kContainerBadHeader},
      {"metadata end 512", [](Image& c) { put(c, kHdrMetaEnd, 512); }, kContainerBadHeader},
      {"metadata end unaligned", [](Image& c) { add(c, kHdrMetaEnd, 64); }, kContainerBadHeader},
      {"metadata end past file", [](Image& c) { put(c, kHdrMetaEnd, round_up(c.size() + 1, kAlignment)); },
       kContainerBadHeader},
      {"data size", [](Image& c) { add(c, kHdrDataSize, 16384); }, kContainerBadHeader},
      {"reserved header word is not checked", [](Image& c) { put(c, kHdrReserved, 7); }, kAccepted},
      {"checksum is not checked", [](Image& c) { c[kHdrDataChecksum] ^= 1; }, kAccepted},
      {"header digest", [](Image& c) { c[kHdrHeaderDigest + 3] ^= 1; }, kContainerHashMismatch, false},
      {"header byte without re-signing", [](Image& c) { c[16] ^= 1; }, kContainerHashMismatch, false},
      {"metadata digest", [](Image& c) { c[kHdrMetaDigest] ^= 1; }, kContainerHashMismatch, false},
      {"metadata byte without re-signing", [](Image& c) { c[1000] ^= 1; }, kContainerHashMismatch, false},
      {"section offset unaligned", [](Image& c) { add(c, kHdrDirectory + 16, 8); }, kContainerBadPlan},
      {"section before the header end", [](Image& c) { put(c, kHdrDirectory, 448); }, kContainerBadPlan},
      {"sections overlap",
       [](Image& c) {
         add(c, kHdrDirectory + 16 * 1 + 8, 64);  // slot 1 grows into slot 2
       },
       kContainerBadPlan},
      {"section size below 32", [](Image& c) { put(c, kHdrDirectory + 16 * 9 + 8, 16); }, kContainerBadPlan},
      {"section past metadata end",
       [](Image& c) { put(c, kHdrDirectory + 16 * 10 + 8, meta_end(c)); }, kContainerBadPlan},
      {"section version", [](Image& c) { put(c, sec(c, 3), 2); }, kContainerBadPlan},
      {"section stride zero", [](Image& c) { put(c, sec(c, 9) + 8, 0); }, kContainerBadPlan},
      {"section bytes past size", [](Image& c) { put(c, sec(c, 9) + 24, 1 << 20); }, kContainerBadPlan},
      {"section count past bytes", [](Image& c) { put(c, sec(c, 9) + 16, 2); }, kContainerBadPlan},
      {"element kind stride", [](Image& c) { put(c, sec(c, 2) + 8, 32); }, kContainerBadPlan},
      {"element kind row", [](Image& c) { put(c, rec(c, 2, 1) + 8, 16); }, kContainerBadPlan},
      {"element kind Q8 row", [](Image& c) { put(c, rec(c, 2, 3) + 24, 66); }, kContainerBadPlan},
      {"plan count", [](Image& c) { put(c, sec(c, 5) + 16, 0); }, kContainerBadPlan},
      {"plan word 8", [](Image& c) { put(c, rec(c, 5, 0) + 8, 2); }, kContainerBadPlan},
      {"plan group count", [](Image& c) { put(c, rec(c, 5, 0) + 24, 3); }, kContainerBadPlan},
      {"plan data offset", [](Image& c) { add(c, rec(c, 5, 0) + 40, 16384); }, kContainerBadPlan},
      {"plan data size unaligned", [](Image& c) { add(c, rec(c, 5, 0) + 32, 4); }, kContainerBadPlan},
      {"plan data size past file", [](Image& c) { add(c, rec(c, 5, 0) + 32, 16384); }, kContainerBadPlan},
      {"range count", [](Image& c) { put(c, sec(c, 7) + 16, 3); }, kContainerBadPlan},
      {"digest count", [](Image& c) { put(c, sec(c, 10) + 16, 3); }, kContainerBadPlan},
      {"group word 8", [](Image& c) { put(c, rec(c, 4, 0) + 8, 1); }, kContainerBadPlan},
      {"group first tensor", [](Image& c) { put(c, rec(c, 4, 1) + 16, 2); }, kContainerBadPlan},
      {"group tensor count zero", [](Image& c) { put(c, rec(c, 4, 1) + 24, 0); }, kContainerBadPlan},
      {"group tensor count past the tensors", [](Image& c) { put(c, rec(c, 4, 1) + 24, 3); }, kContainerBadPlan},
      {"group size unaligned", [](Image& c) { add(c, rec(c, 4, 0) + 40, 64); }, kContainerBadPlan},
      {"group container offset", [](Image& c) { add(c, rec(c, 4, 1) + 32, 16384); }, kContainerBadPlan},
      {"group relative offset", [](Image& c) { put(c, rec(c, 4, 1) + 48, 0); }, kContainerBadPlan},
      {"group index", [](Image& c) { put(c, rec(c, 4, 1) + 56, 0); }, kContainerBadPlan},
      {"group name is not checked", [](Image& c) { put(c, rec(c, 4, 1), 0); }, kAccepted},
      {"direct range", [](Image& c) { put(c, rec(c, 7, 1) + 16, 0); }, kContainerBadPlan},
      {"second range", [](Image& c) { put(c, rec(c, 7, 3) + 40, 0); }, kContainerBadPlan},
      {"tensor kind I64", [](Image& c) { put(c, rec(c, 3, 0) + 8, 3); }, kContainerBadPlan},
      {"tensor rank 7", [](Image& c) { put(c, rec(c, 3, 1) + 32, 7); }, kContainerBadPlan},
      {"tensor byte size", [](Image& c) { add(c, rec(c, 3, 1) + 96, 2); }, kContainerBadPlan},
      {"tensor padded unaligned", [](Image& c) { add(c, rec(c, 3, 1) + 104, 4); }, kContainerBadPlan},
      {"tensor last dim zero", [](Image& c) { put(c, rec(c, 3, 1) + 48, 0); }, kContainerBadPlan},
      {"tensor other dim zero", [](Image& c) { put(c, rec(c, 3, 2) + 40, 0); }, kContainerBadPlan},
      {"tensor row bytes", [](Image& c) { put(c, rec(c, 3, 2) + 136, 68); }, kContainerBadPlan},
      {"tensor reserved +16", [](Image& c) { put(c, rec(c, 3, 0) + 16, 1); }, kContainerBadPlan},
      {"tensor group", [](Image& c) { put(c, rec(c, 3, 1) + 24, 0); }, kContainerBadPlan},
      {"tensor container offset", [](Image& c) { add(c, rec(c, 3, 1) + 88, 64); }, kContainerBadPlan},
      {"tensor relative offset", [](Image& c) { add(c, rec(c, 3, 2) + 112, 16384); }, kContainerBadPlan},
      {"tensor reserved +120", [](Image& c) { put(c, rec(c, 3, 0) + 120, 1); }, kContainerBadPlan},
      {"tensor index", [](Image& c) { put(c, rec(c, 3, 2) + 128, 1); }, kContainerBadPlan},
      {"Q8 tensor without the Q8 row", [](Image& c) { put(c, sec(c, 2) + 16, 3); }, kContainerBadPlan},
      {"weight value names tensor T", [](Image& c) { put(c, rec(c, 8, 1) + 88, 3); }, kContainerBadTensor},
  };
  return table;
}

TEST(ContainerValidation, EveryRuleRefusedWithItsStatus) {
  const Image base = base_image();
  ASSERT_EQ(open_status(base), kAccepted);
  for (const Mutation& mu : mutations()) {
    SCOPED_TRACE(mu.rule);
    Image c = base;
    mu.apply(c);
    if (mu.resign) test::resign(c);
    EXPECT_EQ(open_status(c), mu.want);
  }
}

TEST(ContainerValidation, LengthAndOffsetBounds) {
  const Image base = base_image();
  EXPECT_EQ(open_status(base, 0, base.size() + 1), kContainerBadSections);
  EXPECT_EQ(open_status(base, base.size() + 1, 0), kContainerBadSections);
  EXPECT_EQ(open_status(base, 0, 511), kContainerBadSections);
  EXPECT_EQ(open_status(base, 0, 512), kContainerBadHeader);
  // Every truncation is refused, never read past.
  for (uint64_t cut : {uint64_t(513), uint64_t(16384), meta_end(base) - 1, meta_end(base), uint64_t(base.size() - 1)}) {
    Image c(base.begin(), base.begin() + cut);
    EXPECT_NE(open_status(c), kAccepted) << cut;
  }
}

TEST(ContainerValidation, PaddingOneBlockTooManyIsRefused) {
  // Tensor 0 is exactly 16384 bytes: give it a second, empty 16 KiB block
  // and shift everything after it, so only the padding rule breaks.
  Image c = base_image();
  const uint64_t m = meta_end(c);
  c.insert(c.begin() + m + 16384, 16384, 0);
  add(c, kHdrFileSize, 16384);
  add(c, kHdrDataSize, 16384);
  add(c, rec(c, 3, 0) + 104, 16384);
  add(c, rec(c, 4, 0) + 40, 16384);
  add(c, rec(c, 7, 0) + 8, 16384);
  add(c, rec(c, 7, 2) + 8, 16384);
  for (uint64_t at : {rec(c, 4, 1) + 32, rec(c, 4, 1) + 48, rec(c, 7, 1), rec(c, 7, 1) + 16, rec(c, 7, 3),
                      rec(c, 3, 1) + 88, rec(c, 3, 1) + 112, rec(c, 3, 2) + 88, rec(c, 3, 2) + 112,
                      rec(c, 5, 0) + 32})
    add(c, at, 16384);
  test::resign(c);
  EXPECT_EQ(open_status(c), kContainerBadPlan);
}

TEST(ContainerValidation, MetadataEndAt64MiBIsAccepted) {
  std::mt19937_64 rng(1);
  test::Model m;
  test::add_f32(m, "a", 16, rng);
  m.attach();
  ContainerLayout lay;
  std::vector<uint8_t> meta;
  ASSERT_TRUE(container_build_metadata(m.spec, &meta, &lay, nullptr));
  m.spec.pool_spare += kMaxMetadataEnd - 1000 - (lay.section_offset[10] + lay.section_size[10]);
  Image c;
  ASSERT_TRUE(container_write_memory(m.spec, &c, nullptr));
  EXPECT_EQ(meta_end(c), kMaxMetadataEnd);
  EXPECT_EQ(open_status(c), kAccepted);
  m.spec.pool_spare += 2000;
  std::string err;
  EXPECT_FALSE(container_write_memory(m.spec, &c, &err));
  EXPECT_EQ(err, "metadata region too large");
}

TEST(ContainerValidation, WriterRefusesInvalidSpecs) {
  std::mt19937_64 rng(2);
  test::Model m;
  Image c;
  std::string err;
  EXPECT_FALSE(container_write_memory(m.spec, &c, &err));  // no tensors
  test::add_f32(m, "a", 16, rng);
  m.attach();
  m.spec.group_counts = {2};
  EXPECT_FALSE(container_write_memory(m.spec, &c, &err));
  m.spec.group_counts = {1, 0};
  EXPECT_FALSE(container_write_memory(m.spec, &c, &err));
  m.spec.group_counts = {};
  m.spec.tensors[0].data.len -= 1;
  EXPECT_FALSE(container_write_memory(m.spec, &c, &err));
  EXPECT_EQ(err, "tensor data size does not match its shape");
}

}  // namespace
}  // namespace vorn
