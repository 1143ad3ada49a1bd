// Metadata editing of .vorn files: every value type, edits that keep the
// layout, repacks with and without moving the weights, refusals, and a
// failure at each write step, or a kill at any moment, leaving either the
// old or the new file.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <gtest/gtest.h>

#include "base/file_replace.h"
#include "base/files.h"
#include "container/container.h"
#include "container/meta.h"
#include "container/meta_edit.h"
#include "container_fixture.h"
#include "gpu/weight_loader.h"

namespace vorn {
namespace {

using test::TempDir;

std::string text(Slice s) { return std::string(s.view()); }
Slice sl(const std::string& s) { return slice_of(s.data(), s.size()); }

struct Handle {
  ContainerHandle h{};
  bool ok = false;
  explicit Handle(const std::string& path, uint32_t flags = 0) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ContainerResult r = container_open_fd(fd, 0, uint64_t(fd_size(fd)), flags);
    close(fd);
    ok = r.ok();
    if (ok) h = r.value;
  }
  static int64_t fd_size(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : 0;
  }
  ~Handle() { container_close(&h); }
};

std::string edit_error(const MetaEditResult& r) {
  if (r.ok()) return "";
  std::string s(bytes_as_slice(r.error).view());
  ByteString e = r.error;
  bytes_free(&e);
  return s;
}

// Entries of a directory other than "." and "..".
int dir_entries(const std::string& path) {
  int n = 0;
  DIR* d = opendir(path.c_str());
  while (dirent* e = readdir(d)) n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
  closedir(d);
  return n;
}

std::string set_str(const std::string& path, const std::string& key, const std::string& value, uint64_t flags = 0) {
  return edit_error(container_meta_set(sl(path), sl(key), kMetaString, flags, 0, sl(value), 0));
}

struct EditFixture : ::testing::Test {
  TempDir dir;
  std::string path = dir.file("model.vorn");
  test::Model model = test::random_model(7, 4);
  void SetUp() override {
    model.spec.group_names = {"group.zero"};
    model.spec.group_counts = {model.spec.tensors.size()};
    std::string err;
    ASSERT_TRUE(container_write_file(model.spec, path.c_str(), &err)) << err;
  }
  uint64_t meta_end() { return load_u64(test::read_bytes(path).data() + kHdrMetaEnd); }
  // Loads the weights and compares them with the model's widened values.
  void expect_weights_intact() {
    ModelLoadResult r = model_load_path(sl(path));
    ASSERT_TRUE(r.ok()) << text(bytes_as_slice(r.error));
    ContainerHandle h = r.value;
    WeightBuffer wb = weight_buffer_alloc(round_up(h.data_size, kAlignment), 0);
    WeightSlot slot = weight_slot_from_buffer(wb);
    ASSERT_EQ(weights_load_parallel(&h, &slot, 4, 0).tag, 0u);
    for (uint64_t t = 0; t < model.widened.size(); ++t) {
      TensorRecord rec = container_tensor_record(&h, t);
      EXPECT_EQ(0, std::memcmp(slot.data + rec.relative_offset, model.widened[t].data(), rec.byte_size));
    }
    EXPECT_TRUE(container_verify_tensor_hashes(&h, slot.data));
    // Group names are held by absolute offset and must still resolve.
    const uint64_t name_at = container_read_u64(h.meta, container_record_offset(&h, kSecGroups, 0));
    ASSERT_LT(name_at, h.meta_len);
    EXPECT_STREQ(reinterpret_cast<const char*>(h.meta + name_at), "group.zero");
    weight_slot_release(&slot);
    container_close(&h);
  }
};

TEST_F(EditFixture, SetAndDeleteEveryValueType) {
  const double pi = 3.25;
  uint64_t pi_bits;
  std::memcpy(&pi_bits, &pi, 8);
  const std::string list("x\0yy\0", 5);
  const float arr[3] = {1.5f, -2.0f, 4.0f};
  EXPECT_EQ(set_str(path, "k.str", "hello"), "");
  EXPECT_EQ(edit_error(container_meta_set(sl(path), sl("k.f64"), kMetaF64, 0, pi_bits, empty_slice(), 0)), "");
  EXPECT_EQ(edit_error(container_meta_set(sl(path), sl("k.i64"), kMetaI64, 0, uint64_t(-5), empty_slice(), 0)), "");
  EXPECT_EQ(edit_error(container_meta_set(sl(path), sl("k.bool"), kMetaBool, 0, 1, empty_slice(), 0)), "");
  EXPECT_EQ(edit_error(container_meta_set(sl(path), sl("k.list"), kMetaStringList, 0, 0, sl(list), 2)), "");
  EXPECT_EQ(edit_error(container_meta_set(sl(path), sl("k.arr"), kMetaF32Array, 0, 0, slice_of(arr, 12), 3)), "");
  EXPECT_EQ(edit_error(container_meta_set(sl(path), sl("k.blob"), kMetaBlob, 0, 0, sl("raw"), 0)), "");
  {
    Handle h(path, kContainerOpenWiden);
    ASSERT_TRUE(h.ok);
    EXPECT_EQ(container_meta_text(&h.h, "k.str"), "hello");
    EXPECT_EQ(container_meta_f64(&h.h, "k.f64", 0), 3.25);
    EXPECT_EQ(container_meta_i64(&h.h, "k.i64", 0), -5);
    EXPECT_TRUE(container_meta_bool(&h.h, "k.bool", 0));
    EXPECT_EQ(text(container_meta_list_item(&h.h, "k.list", 1)), "yy");
    uint64_t n = 0;
    const uint8_t* p = container_meta_f32_array(&h.h, "k.arr", &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 3u);
    MetaRecord r;
    ASSERT_TRUE(container_find_meta(&h.h, "k.arr", &r));
    EXPECT_EQ(r.value % 4, 0u);
    EXPECT_EQ(0, std::memcmp(p, arr, 12));
    ASSERT_TRUE(container_find_meta(&h.h, "k.blob", &r));
    EXPECT_EQ(r.type, kMetaBlob);
    EXPECT_EQ(container_meta_text(&h.h, "model.name"), "random-7");  // written by the writer, untouched
  }
  for (const char* key : {"k.str", "k.f64", "k.i64", "k.bool", "k.list", "k.arr", "k.blob", "model.name"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(edit_error(container_meta_delete(sl(path), sl(key))), "");
    Handle h(path);
    ASSERT_TRUE(h.ok);
    EXPECT_FALSE(container_find_meta(&h.h, key, nullptr));
    EXPECT_EQ(edit_error(container_meta_delete(sl(path), sl(key))), "key not found");
  }
  expect_weights_intact();
}

TEST_F(EditFixture, InPlaceEditsKeepLayoutAndRecordIndex) {
  const std::vector<uint8_t> before = test::read_bytes(path);
  const uint64_t m = meta_end();
  EXPECT_EQ(set_str(path, "model.name", "r"), "");  // shorter than the old value
  EXPECT_EQ(set_str(path, "new.key", "value"), "");
  const std::vector<uint8_t> after = test::read_bytes(path);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(meta_end(), m);
  EXPECT_TRUE(std::equal(before.begin() + m, before.end(), after.begin() + m));  // weights untouched
  Handle h(path);
  ASSERT_TRUE(h.ok);
  EXPECT_EQ(text(container_meta_key(&h.h, container_meta_record(&h.h, 0))), "model.name");
  EXPECT_EQ(container_meta_text(&h.h, "model.name"), "r");
  EXPECT_EQ(container_meta_text(&h.h, "new.key"), "value");
}

TEST_F(EditFixture, UsingEverySpareRecordRepacksWithoutMovingWeights) {
  const uint64_t m = meta_end();
  for (int i = 0; i < 64 + 3; ++i) ASSERT_EQ(set_str(path, "k" + std::to_string(i), "v"), "") << i;
  EXPECT_EQ(meta_end(), m);
  Handle h(path);
  ASSERT_TRUE(h.ok);
  EXPECT_GE(container_meta_count(&h.h), 6u + 67u);
  EXPECT_EQ(container_meta_valid_count(&h.h), 6u + 67u);
  EXPECT_EQ(container_meta_text(&h.h, "k66"), "v");
  EXPECT_EQ(container_meta_text(&h.h, "k0"), "v");
  expect_weights_intact();
}

TEST_F(EditFixture, GrowingThePoolPastItsSpareMovesTheWeights) {
  const uint64_t m = meta_end();
  const std::string big(100000, 'z');
  EXPECT_EQ(set_str(path, "big", big), "");
  EXPECT_GT(meta_end(), m);
  EXPECT_EQ(meta_end() % kAlignment, 0u);
  Handle h(path);
  ASSERT_TRUE(h.ok);
  EXPECT_EQ(container_meta_text(&h.h, "big"), big);
  EXPECT_EQ(container_meta_text(&h.h, "model.name"), "random-7");
  expect_weights_intact();
}

TEST_F(EditFixture, EditsKeepModeOwnerAndSymbolicLinks) {
  const bool root = geteuid() == 0;
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(!root || chown(path.c_str(), 4321, 4322) == 0);
  ASSERT_EQ(symlink("model.vorn", dir.file("link.vorn").c_str()), 0);
  // A stale temporary of our naming goes; a similar name of someone else's stays.
  test::write_bytes(dir.file(".model.vorn.edit-AbC123"), std::vector<uint8_t>(10, 1));
  test::write_bytes(dir.file(".model.vorn.edit-AbC1234"), std::vector<uint8_t>(10, 1));
  for (const std::string& value : {std::string("in place"), std::string(50000, 'q')}) {
    EXPECT_EQ(set_str(dir.file("link.vorn"), "k", value), "");
    struct stat st, lst;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(!root || (st.st_uid == 4321 && st.st_gid == 4322));
    ASSERT_EQ(lstat(dir.file("link.vorn").c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    Handle h(path);
    ASSERT_TRUE(h.ok);
    EXPECT_TRUE(container_meta_text(&h.h, "k") == value);
  }
  EXPECT_EQ(edit_error(container_meta_delete(sl(dir.file("link.vorn")), sl("k"))), "");
  EXPECT_TRUE(Handle(path).ok);
  EXPECT_EQ(dir_entries(dir.path()), 3);  // model, link, the other name
}

// Two processes editing one file at once: no edit is lost.
TEST_F(EditFixture, ConcurrentEditorsLoseNothing) {
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) {
      bool ok = true;
      for (int i = 0; i < 40; ++i)
        ok &= set_str(path, "p" + std::to_string(k) + "." + std::to_string(i), std::string(size_t(i) * 97, 'x')) == "";
      _exit(ok ? 0 : 1);
    }
  }
  for (pid_t kid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(kid, &status, 0), kid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Handle h(path);
  ASSERT_TRUE(h.ok);
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(container_find_meta(&h.h, ("p" + std::to_string(k) + "." + std::to_string(i)).c_str(), nullptr));
}

TEST_F(EditFixture, ImmutableKeysCanNeitherBeSetNorDeleted) {
  EXPECT_EQ(set_str(path, "locked", "a", kMetaFlagImmutable), "");
  const std::vector<uint8_t> before = test::read_bytes(path);
  EXPECT_EQ(set_str(path, "locked", "b"), "meta key is marked immutable");
  // Even an edit that would need a repack is refused before anything moves.
  EXPECT_EQ(set_str(path, "locked", std::string(100000, 'b')), "meta key is marked immutable");
  EXPECT_EQ(edit_error(container_meta_delete(sl(path), sl("locked"))), "meta key is marked immutable");
  EXPECT_EQ(test::read_bytes(path), before);
}

TEST_F(EditFixture, RefusesBadArgumentsAndDamagedFiles) {
  EXPECT_EQ(set_str(path, "", "a"), "meta key and value_type must be non-empty");
  EXPECT_EQ(edit_error(container_meta_set(sl(path), sl("k"), 0, 0, 0, empty_slice(), 0)),
            "meta key and value_type must be non-empty");
  EXPECT_EQ(edit_error(container_meta_delete(sl(path), empty_slice())), "meta key must be non-empty");
  EXPECT_EQ(set_str(std::string("a\0b", 3), "k", "v"), "invalid vorn path");
  EXPECT_EQ(set_str(dir.file("missing"), "k", "v"), "failed to open .vorn file for writing");
  test::write_bytes(dir.file("tiny"), std::vector<uint8_t>(100, 0));
  EXPECT_EQ(set_str(dir.file("tiny"), "k", "v"), "invalid .vorn file size");

  std::vector<uint8_t> c = test::read_bytes(path);
  c[2000] ^= 0x40;  // inside the metadata region, digests not updated
  test::write_bytes(path, c);
  EXPECT_EQ(set_str(path, "k", "v"), "metadata/header hash mismatch");
  EXPECT_EQ(test::read_bytes(path), c);
  c[2000] ^= 0x40;
  c[8] = 9;  // version
  test::resign(c);
  test::write_bytes(path, c);
  EXPECT_EQ(set_str(path, "k", "v"), "invalid .vorn header");
  c[8] = 1;
  store_u64(c.data() + load_u64(c.data() + kHdrDirectory + 16 * 5) + 32 + 8, 4);  // plan word
  test::resign(c);
  test::write_bytes(path, c);
  EXPECT_EQ(set_str(path, "k", "v"), "invalid .vorn sections");
  EXPECT_EQ(test::read_bytes(path), c);
}

// Each write step of an edit fails in turn: the file must afterwards be
// exactly the old container, or the complete new one.
TEST_F(EditFixture, FailureAtEveryWriteStepLeavesOldOrNew) {
  // Two repacks: one that moves the weights (a value past the pool's spare
  // bytes) and one that keeps them (the spare records used up); and an edit
  // that keeps the layout.
  std::vector<uint8_t> fresh = test::read_bytes(path);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(set_str(path, "r" + std::to_string(i), "v"), "");
  std::vector<uint8_t> full = test::read_bytes(path);
  struct Scenario {
    const std::vector<uint8_t>* original;
    std::string key, value;
    bool moves;
  };
  const Scenario scenarios[] = {{&fresh, "big", std::string(70000, 'g'), true},
                                {&full, "one.more", "v", false},
                                {&fresh, "model.name", "renamed", false}};
  for (const Scenario& sc : scenarios) {
    SCOPED_TRACE(sc.key);
    const uint64_t old_m = load_u64(sc.original->data() + kHdrMetaEnd);
    bool succeeded = false;
    for (int64_t step = 0; step < 64 && !succeeded; ++step) {
      SCOPED_TRACE(step);
      test::write_bytes(path, *sc.original);
      file_replace_inject_failure(step);
      const std::string err = set_str(path, sc.key, sc.value);
      file_replace_inject_failure(-1);
      Handle h(path);
      ASSERT_TRUE(h.ok);
      if (err.empty()) {
        succeeded = true;
        EXPECT_EQ(container_meta_text(&h.h, sc.key), sc.value);
        EXPECT_EQ(meta_end() != old_m, sc.moves);
        expect_weights_intact();
      } else {
        EXPECT_EQ(test::read_bytes(path), *sc.original) << err;
      }
      EXPECT_EQ(dir_entries(dir.path()), 1);  // no temporary file is left behind
    }
    EXPECT_TRUE(succeeded);
  }
}

// A child edits the file over and over and is killed with SIGKILL at a
// random moment, a few hundred times: each time the file must load, hold
// the weights it started with and either no value or one the child wrote,
// and stale temporaries must not pile up.
TEST(ContainerMetaEdit, KilledEditorsLeaveOldOrNew) {
  TempDir dir;
  const std::string path = dir.file("model.vorn");
  std::mt19937_64 rng(11);
  test::Model m;
  test::add_f32(m, "w", 1 << 18, rng);  // 1 MiB of weights and a large metadata region
  m.spec.meta.push_back(WriterMeta::str("notes", std::string(300000, 'n')));
  m.attach();
  ASSERT_TRUE(container_write_file(m.spec, path.c_str(), nullptr));
  const std::vector<uint8_t> original = test::read_bytes(path);
  const uint64_t m0 = load_u64(original.data() + kHdrMetaEnd);
  const std::string values[] = {"a", std::string(20000, 'b'), std::string(70000, 'c')};
  auto edit = [&](uint64_t i) {
    return i % 4 == 3 ? edit_error(container_meta_delete(sl(path), sl("k"))) : set_str(path, "k", values[i % 4]);
  };
  const double t0 = monotonic_seconds();
  for (uint64_t i = 0; i < 4; ++i) ASSERT_EQ(edit(i), "");
  const uint64_t window_us = uint64_t((monotonic_seconds() - t0) / 4 * 1.5e6) + 1;

  int kills = 0;
  for (const double end = monotonic_seconds() + 30; kills < 200 && monotonic_seconds() < end; ++kills) {
    const pid_t kid = fork();
    ASSERT_GE(kid, 0);
    if (kid == 0)
      for (uint64_t i = rng();; ++i) edit(i);
    usleep(useconds_t(rng() % window_us));
    kill(kid, SIGKILL);
    ASSERT_EQ(waitpid(kid, nullptr, 0), kid);
    SCOPED_TRACE(kills);
    const std::vector<uint8_t> now = test::read_bytes(path);
    ASSERT_GE(now.size(), kHeaderSize);
    const uint64_t mk = load_u64(now.data() + kHdrMetaEnd);
    ASSERT_EQ(now.size() - mk, original.size() - m0);
    ASSERT_TRUE(std::equal(original.begin() + m0, original.end(), now.begin() + mk));
    Handle h(path);
    ASSERT_TRUE(h.ok);
    const std::string k(container_meta_text(&h.h, "k"));  // empty when absent
    EXPECT_TRUE(k.empty() || std::find(std::begin(values), std::end(values), k) != std::end(values));
    ASSERT_LE(dir_entries(dir.path()), 2);  // the file and at most one stale temporary
  }
  EXPECT_GE(kills, 50);
  EXPECT_EQ(set_str(path, "k", "last"), "");
  EXPECT_EQ(dir_entries(dir.path()), 1);
}

TEST(ContainerMetaEdit, GraphBlockRefusesRepacksThatMoveIt) {
  TempDir dir;
  const std::string path = dir.file("gen.vorn");
  std::mt19937_64 rng(3);
  test::Model m;
  test::add_f32(m, "w", 8, rng);
  // A generative graph block: slot 6 records of stride 64 whose tables are
  // located by absolute offsets.
  m.spec.raw_nodes = test::zero_records(64, 2);
  m.spec.group_names = {"layer.0"};
  m.spec.group_names_in_meta = true;  // where the generative graph reads names
  m.attach();
  ASSERT_TRUE(container_write_file(m.spec, path.c_str(), nullptr));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(set_str(path, "small" + std::to_string(i), "fits in place"), "");
  const std::vector<uint8_t> before = test::read_bytes(path);
  EXPECT_EQ(set_str(path, "big", std::string(20000, 'x')), "repack would break names held by absolute offset");
  EXPECT_EQ(test::read_bytes(path), before);
  Handle h(path);
  ASSERT_TRUE(h.ok);
  EXPECT_FALSE(container_is_tensor_model(&h.h));
  EXPECT_EQ(container_meta_text(&h.h, "small63"), "fits in place");
  // The group name sits in the meta_kv extent after the records, untouched.
  const uint64_t name_at = container_read_u64(h.h.meta, container_record_offset(&h.h, kSecGroups, 0));
  const uint64_t meta_at = container_section_offset(&h.h, kSecMeta);
  EXPECT_GE(name_at, meta_at + 32 + 64 * container_meta_count(&h.h));
  EXPECT_LT(name_at, meta_at + container_section_size(&h.h, kSecMeta));
  EXPECT_STREQ(reinterpret_cast<const char*>(h.h.meta + name_at), "layer.0");
}

TEST(ContainerMetaEdit, AuxTableNamesPinTheMetaSection) {
  TempDir dir;
  const std::string path = dir.file("aux.vorn");
  std::mt19937_64 rng(5);
  test::Model m;
  test::add_f32(m, "w", 8, rng);
  m.spec.meta_strings = {"config.json"};
  m.spec.raw_reserved = test::zero_records(64, 1);
  m.attach();
  // The layout does not depend on the raw bytes: build once for the name's
  // offset, then write with the entry pointing at it.
  std::vector<uint8_t> meta;
  ContainerLayout lay;
  ASSERT_TRUE(container_build_metadata(m.spec, &meta, &lay, nullptr));
  store_u64(m.spec.raw_reserved->bytes.data(), lay.meta_string_offsets[0]);
  ASSERT_TRUE(container_write_file(m.spec, path.c_str(), nullptr));
  EXPECT_EQ(set_str(path, "in.place", "ok"), "");
  const std::vector<uint8_t> before = test::read_bytes(path);
  EXPECT_EQ(set_str(path, "big", std::string(30000, 'y')), "repack would break names held by absolute offset");
  EXPECT_EQ(test::read_bytes(path), before);
  EXPECT_STREQ(reinterpret_cast<const char*>(before.data() + lay.meta_string_offsets[0]), "config.json");
}

TEST(ContainerMetaEdit, PoolUsedEndCountsEveryReference) {
  std::mt19937_64 rng(3);
  test::Model m;
  test::add_f32(m, "tensor.name", 8, rng);
  m.spec.meta.push_back(WriterMeta::str("k", "value"));
  m.attach();
  std::vector<uint8_t> meta;
  ContainerLayout lay;
  ASSERT_TRUE(container_build_metadata(m.spec, &meta, &lay, nullptr));
  // Pool: NUL, "tensor.name" NUL (1..12), "k" NUL (13..14), "value" NUL (15..20).
  EXPECT_EQ(container_pool_used_end(meta.data(), lay.meta_end), 21u);
}

}  // namespace
}  // namespace vorn
