// Every refusal of open, check_backend, run and the lifecycle operations,
// table-driven: each row sets a session up, performs one operation and names
// the exact status code and message it must leave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "session/session.h"
#include "tests/session/test_models.h"
#include "vorn.h"

namespace vorn::test {
namespace {

constexpr uint64_t kH = 5, kW = 7, kN = 3 * kH * kW;

struct Ctx {
  VornSession* s = nullptr;
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  VornFrame* frame = vorn_frame_new();
  VornFrame* empty = vorn_frame_new();
  std::vector<uint8_t> pixels = std::vector<uint8_t>(6 * 4 * 3, 90);
  std::vector<float> x = std::vector<float>(kN, 1.0f);
  explicit Ctx(VornConfig* config = nullptr) : s(vorn_session_new(config)) {
    vorn_frame_set_pixels(frame, pixels.data(), pixels.size(), 6, 4, 0, VORN_PIXEL_RGB, 1, 0);
  }
  ~Ctx() {
    vorn_frame_free(empty);
    vorn_frame_free(frame);
    vorn_output_free(out);
    vorn_input_free(in);
    vorn_session_free(s);
  }
  bool open(const std::string& p) { return vorn_session_open(s, p.data(), p.size()); }
  bool inspect(const std::string& p) { return vorn_session_inspect(s, p.data(), p.size()); }
  bool run() { return vorn_session_run(s, in, out); }
};

// The models the rows use, written once.
struct Models {
  ModelBuilder plain_b = image_two_output_model(kH, kW);
  ModelFile plain{plain_b};
  std::string junk = write_junk(600);
  std::string tiny = write_junk(10);
  std::string fifo = make_fifo();

  static std::string write_junk(size_t n) {
    char name[] = "/tmp/vorn_junk_XXXXXX";
    int fd = mkstemp(name);
    std::string bytes(n, 'j');
    EXPECT_EQ(write(fd, bytes.data(), n), ssize_t(n));
    close(fd);
    return name;
  }
  static std::string make_fifo() {
    std::string name = write_junk(0);
    unlink(name.c_str());
    EXPECT_EQ(mkfifo(name.c_str(), 0600), 0);
    return name;
  }
  ~Models() {
    unlink(junk.c_str());
    unlink(tiny.c_str());
    unlink(fifo.c_str());
  }
};

Models& models() {
  static Models* m = new Models();  // lives for the test process
  return *m;
}

std::string built(ModelBuilder b) {
  // Kept for the process: rows run in a loop, files are few and small.
  static std::vector<std::unique_ptr<ModelFile>> files;
  files.push_back(std::make_unique<ModelFile>(b));
  EXPECT_TRUE(files.back()->ok()) << files.back()->error;
  return files.back()->path;
}

ModelBuilder with_input_dim0(uint64_t d0) {
  ModelBuilder b;
  uint64_t x = b.input({d0, 4}, "x");
  uint64_t w = b.weight({1, 4}, {1, 2, 3, 4});
  uint64_t y = b.output({d0, 4}, "y");
  b.node(op::Add, {x, w}, {y});
  return b;
}

ModelBuilder with_names(std::string in, std::string out) {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, in);
  uint64_t w = b.weight({1, 4}, {1, 2, 3, 4});
  uint64_t y = b.output({1, 4}, out);
  b.node(op::Add, {x, w}, {y});
  return b;
}

ModelBuilder with_inputs(uint64_t inputs) {
  ModelBuilder b;
  std::vector<uint64_t> xs;
  for (uint64_t i = 0; i < inputs; ++i) xs.push_back(b.input({1, 4}, "x" + std::to_string(i)));
  uint64_t acc = xs[0];
  for (uint64_t i = 1; i < inputs; ++i) {
    uint64_t next = i + 1 == inputs ? b.output({1, 4}, "y") : b.act({1, 4});
    b.node(op::Add, {acc, xs[i]}, {next});
    acc = next;
  }
  return b;
}

ModelBuilder with_outputs(uint64_t outputs) {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x");
  for (uint64_t i = 0; i < outputs; ++i) b.node(op::Relu, {x}, {b.output({1, 4}, "y" + std::to_string(i))});
  return b;
}

ModelBuilder with_f16_input() {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x", kElemF16);
  uint64_t y = b.output({1, 4}, "y");
  b.node(op::Relu, {x}, {y});
  return b;
}

ModelBuilder transpose_model() {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x");
  uint64_t y = b.output({4, 1}, "y");
  b.node(op::Transpose, {x}, {y}, {{attr::Transpose::kPerm + 0, 1}, {attr::Transpose::kPerm + 1, 0}});
  return b;
}

// Two outputs behind a Softmax over axis 0, which the engine cannot run
// on a whole batch at once.
ModelBuilder softmax_axis0_two_outputs() {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x");
  uint64_t a = b.output({1, 4}, "soft");
  uint64_t y = b.output({1, 4}, "relu");
  b.node(op::Softmax, {x}, {a}, {{attr::Softmax::kAxis, 0}});
  b.node(op::Relu, {x}, {y});
  return b;
}

// Less is an operator the GPU engine does not lower.
ModelBuilder with_less() {
  ModelBuilder b;
  uint64_t x = b.input({1, 4}, "x");
  uint64_t w = b.weight({1, 4}, {0, 1, 2, 3});
  uint64_t y = b.output({1, 4}, "y");
  b.node(op::Less, {x, w}, {y});
  return b;
}

std::string corrupted_weights() {
  std::string path = built(image_two_output_model(kH, kW));
  // Flip one byte of the last tensor: the data region ends the file.
  int fd = ::open(path.c_str(), O_RDWR);
  off_t end = lseek(fd, 0, SEEK_END);
  std::vector<char> b(65536);
  off_t at = end > 65536 ? end - 65536 : 0;
  ssize_t n = pread(fd, b.data(), b.size(), at);
  // The last non-zero byte belongs to a weight (padding is zero).
  for (ssize_t i = n - 1; i >= 0; --i) {
    if (b[i] != 0) {
      b[i] ^= 0x40;
      EXPECT_EQ(pwrite(fd, &b[i], 1, at + i), 1);
      break;
    }
  }
  close(fd);
  return path;
}

struct Row {
  const char* name;
  std::function<bool(Ctx&)> act;
  uint32_t code;
  std::string message;  // empty: any non-empty message
};

void run_rows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Ctx c;
    EXPECT_FALSE(row.act(c));
    EXPECT_EQ(vorn_session_error_code(c.s), row.code);
    std::string got(vorn_session_error_message_ptr(c.s), vorn_session_error_message_len(c.s));
    if (row.message.empty())
      EXPECT_FALSE(got.empty());
    else
      EXPECT_EQ(got, row.message);
    // Whatever failed, the next good open succeeds and clears the record.
    Ctx fresh;
    vorn_session_set_backend(fresh.s, VORN_BACKEND_CPU);
    EXPECT_TRUE(fresh.open(models().plain.path));
    EXPECT_EQ(vorn_session_error_code(fresh.s), 0u);
  }
}

const char* kNe =
    "The NE backend requires a single F32 input tensor; use GPU, CPU or AUTO for multi-input or "
    "I64/F16/U8 inputs";

TEST(SessionErrors, OpenRefusals) {
  const std::string plain = models().plain.path;
  run_rows({
      {"empty path", [](Ctx& c) { return vorn_session_open(c.s, "", 0); }, 1, "Empty model path"},
      {"null path", [](Ctx& c) { return vorn_session_inspect(c.s, nullptr, 12); }, 1, "Empty model path"},
      {"missing file", [](Ctx& c) { return c.open("/nonexistent/model.vorn"); }, 2, "failed reading model"},
      {"junk", [](Ctx& c) { return c.open(models().junk); }, 3, "invalid container header"},
      {"tiny", [](Ctx& c) { return c.inspect(models().tiny); }, 3, "invalid container header"},
      // Refused without waiting for a writer or reading without end; the
      // alarm ends a wait with a failure.
      {"a FIFO",
       [](Ctx& c) {
         alarm(60);
         const bool ok = c.open(models().fifo);
         alarm(0);
         return ok;
       },
       2, "failed reading model"},
      {"a device", [](Ctx& c) { return c.inspect("/dev/zero"); }, 2, "failed reading model"},
      {"bad fd", [](Ctx& c) { return vorn_session_open_fd(c.s, -1, 0, 4096); }, 1,
       "Invalid file descriptor or length"},
      {"short fd range", [](Ctx& c) { return vorn_session_inspect_fd(c.s, 0, 0, 511); }, 1,
       "Invalid file descriptor or length"},
      {"subgraph Main",
       [plain](Ctx& c) {
         vorn_session_set_subgraph(c.s, "Main", 4);
         return c.open(plain);
       },
       12, "Requested subgraph is not present in this model; only 'main' is supported"},
      {"batch 0",
       [plain](Ctx& c) {
         vorn_session_set_batch_size(c.s, 0);
         return c.inspect(plain);
       },
       1, "Batch size must be between 1 and 64"},
      {"batch 65",
       [plain](Ctx& c) {
         vorn_session_set_batch_size(c.s, 65);
         return c.open(plain);
       },
       1, "Batch size must be between 1 and 64"},
      {"batch 2, dim 0 of 3",
       [](Ctx& c) {
         vorn_session_set_batch_size(c.s, 2);
         return c.inspect(built(with_input_dim0(3)));
       },
       12, "Model graph does not support batch_size > 1"},
      {"batch 2, transposing node",
       [](Ctx& c) {
         vorn_session_set_batch_size(c.s, 2);
         return c.inspect(built(transpose_model()));
       },
       12, "Model graph does not support batch_size > 1"},
      {"input name of 64 bytes", [](Ctx& c) { return c.inspect(built(with_names(std::string(64, 'i'), "y"))); },
       12, "Input tensor name exceeds 63-byte maximum descriptor length"},
      {"output name of 64 bytes", [](Ctx& c) { return c.inspect(built(with_names("x", std::string(64, 'o')))); },
       12, "Output tensor name exceeds 63-byte maximum descriptor length"},
      {"nine inputs", [](Ctx& c) { return c.inspect(built(with_inputs(9))); }, 12,
       "Model has more than 8 input tensors"},
      {"65 outputs", [](Ctx& c) { return c.inspect(built(with_outputs(65))); }, 12,
       "Model has more than 64 output tensors"},
      {"NPU with two inputs",
       [](Ctx& c) {
         vorn_session_set_backend(c.s, VORN_BACKEND_NPU);
         return c.open(built(with_inputs(2)));
       },
       12, kNe},
      {"NPU with an F16 input",
       [](Ctx& c) {
         vorn_session_set_backend(c.s, VORN_BACKEND_NPU);
         return c.open(built(with_f16_input()));
       },
       12, kNe},
      {"GPU without a device",
       [plain](Ctx& c) {
         vorn_session_set_backend(c.s, VORN_BACKEND_GPU);
         setenv("VORN_TEST_FAULTS", "gpu.device", 1);
         const bool ok = c.open(plain);
         unsetenv("VORN_TEST_FAULTS");
         return ok;
       },
       8, "GPU/NPU slot allocation failed"},
      {"NPU without a device",
       [](Ctx& c) {
         vorn_session_set_backend(c.s, VORN_BACKEND_NPU);
         setenv("VORN_TEST_FAULTS", "gpu.weights", 1);
         const bool ok = c.open(built(with_names("x", "y")));
         unsetenv("VORN_TEST_FAULTS");
         return ok;
       },
       8, "GPU/NPU slot allocation failed"},
      {"GPU with an operator the engine does not lower",
       [](Ctx& c) {
         vorn_session_set_backend(c.s, VORN_BACKEND_GPU);
         return c.open(built(with_less()));
       },
       12, "unsupported op in MPS backend"},
      {"weight digest mismatch",
       [](Ctx& c) {
         VornConfig* config = vorn_config_new();
         vorn_config_set_verify_weights(config, 1);
         VornSession* s = vorn_session_new(config);
         vorn_config_free(config);
         vorn_session_free(c.s);
         c.s = s;
         return c.open(corrupted_weights());
       },
       13, "Weight tensor XXH3-128 hash verification failed"},
      {"batch 4 of a multi-output graph the engine runs one sample at a time",
       [](Ctx& c) {
         vorn_session_set_batch_size(c.s, 4);
         return c.open(built(softmax_axis0_two_outputs()));
       },
       12,
       "Model graph cannot batch all its inputs and outputs in one pass; use batch_size 1 for this "
       "multi-input or multi-output model"},
      {"generative model without its configuration documents",
       [](Ctx& c) {
         ModelBuilder b;
         b.input({1, 4}, "x");
         return c.open(built(b));
       },
       3, "Aux name bounds"},
      {"busy",
       [plain](Ctx& c) {
         c.s->busy = 1;
         bool ok = c.open(plain);
         c.s->busy = 0;
         return ok;
       },
       9, "Session is busy"},
  });
}

TEST(SessionErrors, CheckBackendRefusals) {
  const std::string plain = models().plain.path;
  run_rows({
      {"before inspect", [](Ctx& c) { return vorn_session_check_backend(c.s, VORN_BACKEND_CPU); }, 1,
       "Call inspect or open before check_backend"},
      {"backend 4",
       [plain](Ctx& c) { return c.inspect(plain) && vorn_session_check_backend(c.s, 4); },
       1, "Invalid backend constant"},
      {"GPU unavailable",
       [plain](Ctx& c) {
         setenv("VORN_TEST_FAULTS", "gpu.device", 1);
         const bool ok = c.inspect(plain) && vorn_session_check_backend(c.s, VORN_BACKEND_GPU);
         unsetenv("VORN_TEST_FAULTS");
         return ok;
       },
       8, "Requested hardware backend is unavailable on this device"},
  });
  Ctx c;
  ASSERT_TRUE(c.inspect(plain));
  EXPECT_TRUE(vorn_session_check_backend(c.s, VORN_BACKEND_CPU));
  EXPECT_TRUE(vorn_session_check_backend(c.s, VORN_BACKEND_AUTO));
  EXPECT_EQ(vorn_session_error_code(c.s), 0u);
}

TEST(SessionErrors, RunRefusals) {
  const std::string plain = models().plain.path;
  auto opened = [plain](Ctx& c) { return c.open(plain); };
  run_rows({
      {"no input",
       [opened](Ctx& c) { return opened(c) && vorn_session_run(c.s, nullptr, c.out); }, 1,
       "Input and Output handles are required"},
      {"no output",
       [opened](Ctx& c) { return opened(c) && vorn_session_run(c.s, c.in, nullptr); }, 1,
       "Input and Output handles are required"},
      {"not opened", [](Ctx& c) { return c.run(); }, 1, "Session is not opened (or was unloaded)"},
      {"unloaded", [opened](Ctx& c) { return opened(c) && vorn_session_unload(c.s) && c.run(); }, 1,
       "Session is not opened (or was unloaded)"},
      {"busy",
       [opened](Ctx& c) {
         if (!opened(c)) return true;
         c.s->busy = 1;
         bool ok = c.run();
         EXPECT_EQ(c.s->busy, 1u);  // the holder keeps its flag
         c.s->busy = 0;
         return ok;
       },
       9, "Session is already executing an operation"},
      {"frame by another name",
       [opened](Ctx& c) {
         vorn_input_set_named_frame(c.in, "other", 5, c.frame);
         return opened(c) && c.run();
       },
       1, "Input frame name does not match model primary input tensor"},
      {"too few batch frames",
       [plain](Ctx& c) {
         vorn_session_set_batch_size(c.s, 2);
         vorn_input_add_batch_frame(c.in, c.frame);
         return c.open(plain) && c.run();
       },
       1, "Batch size requires matching number of frames bound via add_batch_frame"},
      {"frame without pixels",
       [opened](Ctx& c) {
         vorn_input_set_frame(c.in, c.empty);
         return opened(c) && c.run();
       },
       4, "Input Frame contains no valid pixel data"},
      {"batch frame without pixels",
       [plain](Ctx& c) {
         vorn_session_set_batch_size(c.s, 2);
         vorn_input_add_batch_frame(c.in, c.frame);
         vorn_input_add_batch_frame(c.in, c.empty);
         return c.open(plain) && c.run();
       },
       4, "Batch Input Frame contains no valid pixel data"},
      {"nothing bound", [opened](Ctx& c) { return opened(c) && c.run(); }, 1,
       "Input has neither a Frame nor raw tensors bound"},
      {"index past the inputs",
       [opened](Ctx& c) {
         vorn_input_set_f32(c.in, 1, c.x.data(), kN, 0);
         return opened(c) && c.run();
       },
       1, "Input tensor index or name does not match model inputs"},
      {"unknown name",
       [opened](Ctx& c) {
         vorn_input_set_named_f32(c.in, "imag", 4, c.x.data(), kN, 0);
         return opened(c) && c.run();
       },
       1, "Input tensor index or name does not match model inputs"},
      {"wrong element count",
       [opened](Ctx& c) {
         vorn_input_set_f32(c.in, 0, c.x.data(), kN - 1, 0);
         return opened(c) && c.run();
       },
       1, "Input tensor element count does not match model input shape"},
      {"start on a tensor model",
       [opened](Ctx& c) { return opened(c) && vorn_session_start(c.s, c.in, c.out); }, 12,
       "Streaming start/next requires a generative LLM/VLM model"},
      {"next without start",
       [opened](Ctx& c) { return opened(c) && vorn_session_next(c.s, c.out) >= 0; }, 1,
       "No active generation stream; call start() first"},
  });
}

TEST(SessionErrors, LifecycleRefusals) {
  const std::string plain = models().plain.path;
  auto busy = [](Ctx& c, bool (*op)(VornSession*)) {
    c.s->busy = 1;
    bool ok = op(c.s);
    c.s->busy = 0;
    return ok;
  };
  run_rows({
      {"reload never opened", [](Ctx& c) { return vorn_session_reload(c.s); }, 1,
       "Cannot reload a Session that was never opened"},
      {"unload busy",
       [plain, busy](Ctx& c) { return c.open(plain) && busy(c, vorn_session_unload); }, 9, "Session is busy"},
      {"reload busy", [busy](Ctx& c) { return busy(c, vorn_session_reload); }, 9, "Session is busy"},
      {"reset busy", [busy](Ctx& c) { return busy(c, vorn_session_reset); }, 9, "Session is busy"},
  });
  // The busy unload kept the engine.
  Ctx c;
  ASSERT_TRUE(c.open(plain));
  c.s->busy = 1;
  EXPECT_FALSE(vorn_session_unload(c.s));
  c.s->busy = 0;
  EXPECT_EQ(vorn_session_active_backend(c.s), VORN_BACKEND_GPU);
}

TEST(SessionErrors, NullHandles) {
  EXPECT_EQ(vorn_session_error_code(nullptr), 1u);
  EXPECT_STREQ(vorn_session_error_message_ptr(nullptr), "Null Session handle");
  EXPECT_EQ(vorn_session_error_message_len(nullptr), 19u);
  EXPECT_FALSE(vorn_session_open(nullptr, "x", 1));
  EXPECT_FALSE(vorn_session_run(nullptr, nullptr, nullptr));
  EXPECT_FALSE(vorn_session_unload(nullptr));
  EXPECT_FALSE(vorn_session_reload(nullptr));
  EXPECT_FALSE(vorn_session_reset(nullptr));
  vorn_session_cancel(nullptr);
  vorn_session_free(nullptr);
  EXPECT_EQ(vorn_session_input_dim(nullptr, 0, 0), -1);
  EXPECT_STREQ(vorn_session_subgraph_name_ptr(nullptr, 0), "");
}

// A refused descriptor range keeps the model that was loaded; a failed path
// open drops it.
TEST(SessionErrors, WhatAFailedOpenLeaves) {
  Ctx c;
  ASSERT_TRUE(c.open(models().plain.path));
  EXPECT_FALSE(vorn_session_inspect_fd(c.s, 3, 0, 511));
  EXPECT_EQ(vorn_session_input_count(c.s), 1u);
  EXPECT_EQ(vorn_session_active_backend(c.s), VORN_BACKEND_GPU);
  EXPECT_FALSE(vorn_session_open(c.s, "", 0));
  EXPECT_EQ(vorn_session_input_count(c.s), 0u);
  EXPECT_EQ(vorn_session_subgraph_count(c.s), 0u);
  EXPECT_FALSE(vorn_session_reload(c.s));
  EXPECT_EQ(vorn_session_error_code(c.s), 1u);
}

}  // namespace
}  // namespace vorn::test
