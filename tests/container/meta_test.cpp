// Typed metadata lookups and the graph-record checks of the session loader.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <functional>

#include "container/container.h"
#include "container/meta.h"
#include "container/op_codes.h"
#include "container_fixture.h"

namespace vorn {
namespace {

std::string text(Slice s) { return std::string(s.view()); }

struct Opened {
  ContainerHandle h{};
  uint32_t status = 0;
  explicit Opened(const std::vector<uint8_t>& c, uint32_t flags = 0) {
    test::MemFile file(c);
    ContainerResult r = container_open_fd(file.fd, 0, c.size(), flags);
    if (r.ok())
      h = r.value;
    else
      status = 100 + r.error;
  }
  ~Opened() { container_close(&h); }
};

std::vector<uint8_t> meta_container(std::vector<WriterMeta> meta) {
  std::mt19937_64 rng(4);
  test::Model m;
  WriterTensor t;
  t.name = "t";
  t.kind = kElemF32;
  t.rank = 2;
  t.dims[0] = 3;
  t.dims[1] = 4;
  m.spec.tensors.push_back(t);
  m.data.push_back(std::vector<uint8_t>(48, 1));
  m.spec.meta = std::move(meta);
  m.attach();
  std::vector<uint8_t> c;
  EXPECT_TRUE(container_write_memory(m.spec, &c, nullptr));
  return c;
}

uint64_t meta_record_at(const std::vector<uint8_t>& c, uint64_t i) {
  return load_u64(c.data() + kHdrDirectory + 16) + 32 + 64 * i;
}

TEST(ContainerMeta, TypedGettersAndDefaults) {
  WriterMeta blob = WriterMeta::str("blob", "0123456789");
  blob.type = kMetaF32Array;
  blob.items = 2;
  Opened o(meta_container({WriterMeta::str("precision.gpu.metal", "f16"), WriterMeta::i64("n", 42),
                           WriterMeta::f64("x", 2.5), WriterMeta::boolean("flag", true),
                           WriterMeta::list("l", {"a", "", "b"}), blob, WriterMeta::str("empty", "")}));
  ASSERT_EQ(o.status, 0u);
  const ContainerHandle* h = &o.h;
  EXPECT_EQ(container_meta_count(h), 7u + 64u);
  EXPECT_EQ(container_meta_valid_count(h), 7u);
  EXPECT_EQ(text(container_meta_str(h, "precision.gpu.metal", empty_slice())), "f16");
  EXPECT_EQ(container_meta_text(h, "precision.gpu.metal"), "f16");
  EXPECT_FALSE(container_find_meta(h, "precision.gpu", nullptr));  // a prefix is not a match
  EXPECT_FALSE(container_find_meta(h, "", nullptr));
  EXPECT_EQ(text(container_meta_str(h, "precision.gpu", slice_of(std::string_view("dflt")))), "dflt");
  EXPECT_EQ(container_meta_i64(h, "n", 0), 42);
  EXPECT_EQ(container_meta_f64(h, "n", -1.0), -1.0);  // no conversion between types
  EXPECT_EQ(container_meta_f64(h, "x", 0.0), 2.5);
  EXPECT_TRUE(container_meta_bool(h, "flag", 0));
  EXPECT_FALSE(container_meta_bool(h, "missing", 2));
  EXPECT_TRUE(container_meta_bool(h, "missing", 3));
  EXPECT_EQ(text(container_meta_list_item(h, "l", 0)), "a");
  EXPECT_EQ(container_meta_list_item(h, "l", 1).len, 0u);
  EXPECT_EQ(text(container_meta_list_item(h, "l", 2)), "b");
  EXPECT_EQ(container_meta_list_item(h, "l", 3).len, 0u);
  EXPECT_EQ(container_meta_list_count(h, "l"), 3u);
  uint64_t count = 9;
  const uint8_t* arr = container_meta_f32_array(h, "blob", &count);
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(count, 2u);  // 10 bytes hold two 4-byte items
  EXPECT_EQ(0, std::memcmp(arr, "01234567", 8));
  EXPECT_EQ(container_meta_f32_array(h, "n", &count), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(text(container_meta_str(h, "empty", slice_of(std::string_view("d")))), "");
  MetaRecord r = container_meta_record(h, 1000);
  EXPECT_EQ(r.type, 0u);

  TensorShapeView s = container_tensor_shape(h, 0);
  EXPECT_EQ(s.kind, kElemF32);
  EXPECT_EQ(s.rows, 3u);
  EXPECT_EQ(s.cols, 4u);
  EXPECT_EQ(s.count, 12u);
  EXPECT_EQ(s.byte_size, 48u);
  EXPECT_EQ(s.f32_byte_size, 48u);
  EXPECT_EQ(container_tensor_shape(h, 1).kind, 0u);
}

TEST(ContainerMeta, FreeAndMalformedRecordsReadAsMissing) {
  std::vector<uint8_t> c = meta_container({WriterMeta::str("a", "x"), WriterMeta::str("b", "y")});
  store_u64(c.data() + meta_record_at(c, 0) + 16, 0);             // type 0: free
  store_u64(c.data() + meta_record_at(c, 1) + 32, uint64_t(1) << 40);  // value outside the pool
  test::resign(c);
  Opened o(c);
  ASSERT_EQ(o.status, 0u);
  EXPECT_FALSE(container_find_meta(&o.h, "a", nullptr));
  EXPECT_TRUE(container_find_meta(&o.h, "b", nullptr));
  EXPECT_EQ(text(container_meta_str(&o.h, "b", slice_of(std::string_view("d")))), "d");
  EXPECT_EQ(container_pool_slice(&o.h, uint64_t(1) << 40, 4).len, 0u);
}

// The session loader's checks of graph records: each mutation of a value
// or node record is refused as "invalid container layout".
TEST(ContainerGraphRecords, MalformedRecordsRefusedOnLoad) {
  std::mt19937_64 rng(8);
  test::Model m;
  test::add_f32(m, "w", 12, rng);
  m.spec.values.push_back({test::value_record(kValueWeight, kElemF32, {3, 4}, 0), "w"});
  m.spec.values.push_back({test::value_record(kValueGraphInput, kElemF16, {1, 3, 4}), "in"});
  m.spec.values.push_back({test::value_record(kValueGraphOutput, kElemI64, {2}), "out"});
  NodeRecord n{};
  n.set_op(op::Add);
  n.w[1] = 2;
  n.w[2] = 0;
  n.w[3] = 1;
  n.w[10] = 1;
  n.w[11] = 2;
  m.spec.nodes.push_back(n);
  m.attach();
  std::vector<uint8_t> base;
  ASSERT_TRUE(container_write_memory(m.spec, &base, nullptr));
  const uint64_t values_at = load_u64(base.data() + kHdrDirectory + 16 * kSecValues) + 32;
  const uint64_t nodes_at = load_u64(base.data() + kHdrDirectory + 16 * kSecNodes) + 32;
  auto vw = [&](std::vector<uint8_t>& c, uint64_t i, uint64_t word, uint64_t v) {
    store_u64(c.data() + values_at + 128 * i + 8 * word, v);
  };
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> apply;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"unchanged", [](auto&) {}, true},
      {"rank 7", [&](auto& c) { vw(c, 1, 2, 7); }, false},
      {"count not the product", [&](auto& c) { vw(c, 1, 9, 13); }, false},
      {"F16 byte size", [&](auto& c) { vw(c, 1, 10, 48); }, false},
      {"I64 byte size", [&](auto& c) { vw(c, 2, 10, 8); }, false},
      {"dims overflow", [&](auto& c) {
         vw(c, 1, 3, uint64_t(1) << 40);
         vw(c, 1, 4, uint64_t(1) << 40);
       }, false},
      {"value kind 5", [&](auto& c) { vw(c, 1, 0, 5); }, false},
      {"element kind 0", [&](auto& c) { vw(c, 1, 1, 0); }, false},
      {"Q8 activation", [&](auto& c) { vw(c, 1, 1, kElemQ8); }, false},
      {"name outside the pool", [&](auto& c) { vw(c, 1, 13, uint64_t(1) << 33); }, false},
      {"weight tensor index T", [&](auto& c) { vw(c, 0, 11, 1); }, false},
      {"weight past its tensor", [&](auto& c) { vw(c, 0, 12, 8); }, false},
      {"weight larger than its tensor", [&](auto& c) {
         vw(c, 0, 3, 4);
         vw(c, 0, 9, 16);
         vw(c, 0, 10, 64);
       }, false},
      {"weight inside its tensor", [&](auto& c) {
         vw(c, 0, 2, 1);
         vw(c, 0, 3, 2);
         vw(c, 0, 9, 2);
         vw(c, 0, 10, 8);
         vw(c, 0, 12, 40);
       }, true},
      {"node input index", [&](auto& c) { store_u64(c.data() + nodes_at + 8 * 3, 3); }, false},
      {"omitted optional input", [&](auto& c) { store_u64(c.data() + nodes_at + 8 * 3, ~uint64_t{0}); }, true},
      {"input index -2", [&](auto& c) { store_u64(c.data() + nodes_at + 8 * 3, ~uint64_t{1}); }, false},
      {"shapeless placeholder", [&](auto& c) {
         vw(c, 1, 2, 0);
         vw(c, 1, 9, 0);
         vw(c, 1, 10, 0);
       }, true},
      {"placeholder with bytes", [&](auto& c) {
         vw(c, 1, 2, 0);
         vw(c, 1, 9, 0);
         vw(c, 1, 10, 4);
       }, false},
      {"weight without elements", [&](auto& c) {
         vw(c, 0, 2, 0);
         vw(c, 0, 9, 0);
       }, false},
      {"node output count 0", [&](auto& c) { store_u64(c.data() + nodes_at + 8 * 10, 0); }, false},
      {"node input count 9", [&](auto& c) { store_u64(c.data() + nodes_at + 8, 9); }, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<uint8_t> c = base;
    k.apply(c);
    test::resign(c);
    test::MemFile file(c);
    ASSERT_GE(file.fd, 0);
    ModelLoadResult r = model_load_fd(file.fd, 0, c.size());
    if (k.ok) {
      EXPECT_TRUE(r.ok()) << text(bytes_as_slice(r.error));
      if (r.ok()) container_close(&r.value);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(text(bytes_as_slice(r.error)), "invalid container layout");
      bytes_free(&r.error);
    }
  }
}

TEST(ContainerGraphRecords, OutOfRangeCopiesAreZero) {
  test::Model m = test::random_model(12, 2);
  std::vector<uint8_t> c;
  ASSERT_TRUE(container_write_memory(m.spec, &c, nullptr));
  Opened o(c);
  ASSERT_EQ(o.status, 0u);
  EXPECT_EQ(container_node_count(&o.h), 1u);
  EXPECT_EQ(container_node_record(&o.h, 0).op(), op::Add);
  EXPECT_EQ(container_node_record(&o.h, 1).op(), kOpNone);
  EXPECT_EQ(container_value_record(&o.h, 1000).kind(), 0u);
  EXPECT_TRUE(container_is_tensor_model(&o.h));
}

}  // namespace
}  // namespace vorn
