// Calibration: ranges recorded over passes, the ranges file written, read
// back by later engines (in part when short) and refused when longer or
// corrupt; and the activation grids that use the recorded ranges.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "container/op_codes.h"
#include "kernels/quant_calibration.h"
#include "cpu/quant_hooks.h"
#include "quant_test_util.h"
#include "reference/quant_reference.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::QuantEngine;
using test::QuantEnv;


// in [1,8] (id 0) -> Neg -> n (id 1) -> Relu -> out (id 2)
GraphBuilder chain_graph() {
  GraphBuilder b;
  const uint64_t in = b.input({1, 8});
  const uint64_t n = b.act({1, 8});
  const uint64_t out = b.output({1, 8});
  b.node(op::Neg, {in}, {n});
  b.node(op::Relu, {n}, {out});
  return b;
}

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/vorn_quant_XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<float> read_floats(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

void write_bytes(const std::string& path, const void* data, size_t n) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

// The ranges a calibration pass must record: values of the three graph
// values over all inputs, computed from the definition.
std::vector<float> expected_ranges(const std::vector<std::vector<float>>& inputs) {
  std::vector<float> t = {0, 0, 0, 3.0e38f, 3.0e38f, 3.0e38f, -3.0e38f, -3.0e38f, -3.0e38f};
  for (const auto& x : inputs) {
    for (float v : x) {
      const float vals[3] = {v, -v, std::max(-v, 0.0f)};
      for (int id = 0; id < 3; ++id) {
        t[id] = std::max(t[id], std::fabs(vals[id]));
        t[3 + id] = std::min(t[3 + id], vals[id]);
        t[6 + id] = std::max(t[6 + id], vals[id]);
      }
    }
  }
  return t;
}

TEST(Calibration, TwoPassesWriteRangesThatASecondEngineReadsBack) {
  TempDir dir;
  const std::string path = dir.file("ranges.bin");
  const std::vector<float> x1 = {1, -2, 3, -4, 0.5f, 0.25f, -0.125f, 2};
  const std::vector<float> x2 = {-7, 0.1f, 0.2f, 5, -1, 1, 0, 0};
  {
    QuantEnv env({{"VORN_CPU_QCAL_OUT", path}});
    QuantEngine e(chain_graph());
    ASSERT_TRUE(e.ok()) << e.error.message;
    const std::vector<float> y1 = e.run(x1);
    // Calibration only records: the outputs are those of plain f32.
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(y1[i], std::max(-x1[i], 0.0f));
    e.run(x2);
  }
  EXPECT_EQ(std::filesystem::file_size(path), 12u * 3u);
  const std::vector<float> want = expected_ranges({x1, x2});
  EXPECT_EQ(read_floats(path), want);

  // A second engine reading the file (no calibration) holds the same table.
  QuantEnv env({{"VORN_CPU_QCAL", path}, {"VORN_CPU_QT", "u8"}});
  QuantEngine e(chain_graph());
  ASSERT_TRUE(e.ok()) << e.error.message;
  ASSERT_NE(e.state->quant, nullptr);
  EXPECT_EQ(std::vector<float>(e.state->quant->ranges, e.state->quant->ranges + 9), want);
}

TEST(Calibration, RangesAccumulateOverEngines) {
  TempDir dir;
  const std::string path = dir.file("acc.bin");
  const std::vector<float> x1 = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<float> x2 = {-9, 0, 0, 0, 0, 0, 0, 0.5f};
  QuantEnv env({{"VORN_CPU_QCAL_OUT", path}});
  {
    QuantEngine e(chain_graph());
    e.run(x1);
  }
  {
    QuantEngine e(chain_graph());
    ASSERT_TRUE(e.ok()) << e.error.message;
    e.run(x2);
  }
  EXPECT_EQ(read_floats(path), expected_ranges({x1, x2}));
}

TEST(Calibration, NonFiniteValuesAreNotRanges) {
  std::vector<float> table(3);
  cpu_ranges_clear(table);
  const float v[] = {INFINITY, NAN, -2.0f, -INFINITY};
  cpu_ranges_record(table, 0, v, 4);
  EXPECT_EQ(table, (std::vector<float>{2.0f, -2.0f, -2.0f}));
}

TEST(Calibration, ArgMaxIndicesAreRecordedToo) {
  std::vector<float> table(6);
  cpu_ranges_clear(table);
  QuantEnv env({{"VORN_CPU_QCAL_OUT", "/nonexistent-dir/r.bin"}});
  QuantEngine e(chain_graph());
  ASSERT_TRUE(e.ok());
  std::vector<float> idx = {3, 1};
  cpu_activation_hook(*e.state, 2, idx.data(), 2, op::ArgMax);
  EXPECT_EQ(e.state->quant->ranges[2], 3.0f);
  // A file that cannot be written does not fail the pass.
  EXPECT_FALSE(e.run({1, 2, 3, 4, 5, 6, 7, 8}).empty());
  EXPECT_FALSE(cpu_calibration_write(*e.state));
}

struct BadFile {
  const char* what;
  std::vector<char> bytes;
  const char* message;
};

std::vector<char> as_bytes(const std::vector<float>& v) {
  std::vector<char> b(v.size() * 4);
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

TEST(Calibration, LongerOrCorruptFilesAreRefused) {
  TempDir dir;
  const std::vector<float> good = expected_ranges({{1, -2, 3, -4, 0.5f, 0.25f, -0.125f, 2}});
  std::vector<char> longer = as_bytes(good);
  longer.push_back(0);
  std::vector<float> inconsistent = good;
  inconsistent[1] = 99.0f;  // max |x| no longer the larger of |min| and |max|
  std::vector<float> swapped = good;
  std::swap(swapped[3], swapped[6]);  // min above max
  std::vector<float> nan = good;
  nan[7] = NAN;
  std::mt19937 rng(5);
  std::vector<char> noise(36);
  for (char& c : noise) c = static_cast<char>(rng());
  std::vector<float> short_nan(good.begin(), good.begin() + 3);
  short_nan[1] = NAN;
  const BadFile cases[] = {
      {"longer", longer, "holds 37 bytes, more than the 36"},
      {"short with a nan", as_bytes(short_nan), "is corrupt: the ranges of value 1"},
      {"inconsistent", as_bytes(inconsistent), "is corrupt: the ranges of value 1"},
      {"min above max", as_bytes(swapped), "is corrupt: the ranges of value 0"},
      {"nan", as_bytes(nan), "is corrupt: the ranges of value 1"},
      {"noise", noise, "is corrupt"},
  };
  for (const BadFile& c : cases) {
    const std::string path = dir.file("bad.bin");
    write_bytes(path, c.bytes.data(), c.bytes.size());
    for (const char* var : {"VORN_CPU_QCAL", "VORN_CPU_QCAL_OUT"}) {
      QuantEnv env({{var, path}, {"VORN_CPU_QT", "i8"}});
      QuantEngine e(chain_graph());
      EXPECT_FALSE(e.ok()) << c.what;
      EXPECT_EQ(e.error.status, 3u) << c.what;
      EXPECT_NE(std::strstr(e.error.message, c.message), nullptr) << c.what << ": " << e.error.message;
      EXPECT_NE(std::strstr(e.error.message, "calibration ranges file"), nullptr);
    }
  }
  // The good table itself is accepted; a missing file is no error.
  write_bytes(dir.file("good.bin"), good.data(), good.size() * 4);
  {
    QuantEnv env({{"VORN_CPU_QCAL", dir.file("good.bin")}, {"VORN_CPU_QT", "i8"}});
    QuantEngine e(chain_graph());
    EXPECT_TRUE(e.ok()) << e.error.message;
  }
  {
    QuantEnv env({{"VORN_CPU_QCAL", dir.file("missing.bin")}, {"VORN_CPU_QT", "i8"}});
    QuantEngine e(chain_graph());
    EXPECT_TRUE(e.ok()) << e.error.message;
  }
}

// A file shorter than the table gives its whole values in order; the rest
// stay never seen.
TEST(Calibration, ShortFilesGiveTheValuesTheyHold) {
  TempDir dir;
  const std::vector<float> good = expected_ranges({{1, -2, 3, -4, 0.5f, 0.25f, -0.125f, 2}});
  const std::vector<char> bytes = as_bytes(good);
  for (size_t size : {size_t(0), size_t(12), size_t(14), size_t(32)}) {
    const std::string path = dir.file("short.bin");
    write_bytes(path, bytes.data(), size);
    QuantEnv env({{"VORN_CPU_QCAL", path}, {"VORN_CPU_QT", "u8"}});
    QuantEngine e(chain_graph());
    ASSERT_TRUE(e.ok()) << size << ": " << e.error.message;
    std::vector<float> want = expected_ranges({});
    std::copy(good.begin(), good.begin() + size / 4, want.begin());
    EXPECT_EQ(std::vector<float>(e.state->quant->ranges, e.state->quant->ranges + 9), want) << size;
  }
}

// Writes a ranges table for the chain graph where every value has [lo, hi].
std::string ranges_file(const TempDir& dir, float lo, float hi) {
  const float amax = std::max(std::fabs(lo), std::fabs(hi));
  const std::vector<float> t = {amax, amax, amax, lo, lo, lo, hi, hi, hi};
  const std::string path = dir.file("fixed.bin");
  write_bytes(path, t.data(), t.size() * 4);
  return path;
}

TEST(CalibratedActivations, U8WithRangeHalfToTwo) {
  TempDir dir;
  QuantEnv env({{"VORN_CPU_QCAL", ranges_file(dir, 0.5f, 2.0f)}, {"VORN_CPU_QT", "u8"}});
  QuantEngine e(chain_graph());
  ASSERT_TRUE(e.ok()) << e.error.message;
  const std::vector<float> x = {0.3f, 1.0f, 1.7f, 2.6f, 0.01f, 0.9f, 1.23f, 0.5f};
  std::vector<float> v = x;
  cpu_activation_hook(*e.state, 1, v.data(), v.size(), op::Neg);
  const float scale = 2.0f / 255.0f;  // lo 0, hi 2, zero point 0
  for (size_t i = 0; i < x.size(); ++i) {
    const float t = std::min(std::max(std::nearbyint(x[i] / scale), 0.0f), 255.0f);
    EXPECT_EQ(v[i], scale * t);
  }
}

TEST(CalibratedActivations, WideIdsAndU16Use65535Steps) {
  TempDir dir;
  const std::string path = ranges_file(dir, -1.0f, 3.0f);
  const std::vector<float> x = {0.123456f, -0.77777f, 2.99f};
  for (auto [type, wide, steps] : {std::tuple{"u8", "", 255.0f}, std::tuple{"u8", "x1,", 65535.0f},
                                   std::tuple{"u16", "", 65535.0f}}) {
    QuantEnv env({{"VORN_CPU_QCAL", path}, {"VORN_CPU_QT", type}, {"VORN_CPU_QT_WIDE", wide}});
    QuantEngine e(chain_graph());
    ASSERT_TRUE(e.ok());
    std::vector<float> v = x;
    cpu_activation_hook(*e.state, 1, v.data(), v.size(), op::Neg);
    EXPECT_EQ(v, ref::asymmetric(x, -1.0f, 3.0f, steps)) << type << " wide " << wide;
  }
}

TEST(CalibratedActivations, Int8UsesTheRecordedMagnitudeAndClamps) {
  TempDir dir;
  QuantEnv env({{"VORN_CPU_QCAL", ranges_file(dir, -2.0f, 1.0f)}, {"VORN_CPU_QT", "i8"}});
  QuantEngine e(chain_graph());
  ASSERT_TRUE(e.ok());
  std::vector<float> v = {0.5f, -5.0f, 5.0f, 0.0f};
  cpu_activation_hook(*e.state, 0, v.data(), v.size(), 0);
  const float scale = 2.0f / 127.0f;
  EXPECT_EQ(v[0], scale * 32.0f);  // 31.75 -> 32
  EXPECT_EQ(v[1], scale * -127.0f);
  EXPECT_EQ(v[2], scale * 127.0f);
  EXPECT_EQ(v[3], 0.0f);
}

}  // namespace
}  // namespace vorn
