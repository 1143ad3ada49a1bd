// What the tools do with whatever stands at a path they are given: outputs
// go through links, devices, FIFOs and standard output without replacing
// them; inputs that are FIFOs or devices are refused without waiting; what a
// killed run left half-written is removed by the next run. Every tool runs
// under an alarm, so a hang fails instead of holding the suite.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frontend_fixture.h"
#include "generative_model.h"

namespace vorn {
namespace {

using json = nlohmann::json;
using test::RunOptions;
using test::ToolRun;
namespace fs = std::filesystem;

constexpr unsigned kTimeout = 60;

ToolRun run(const char* tool, const std::vector<std::string>& args, RunOptions options = {}) {
  options.timeout_seconds = kTimeout;
  return test::run_tool(tool, args, options);
}

RunOptions unprivileged() {
  RunOptions o;
  o.unprivileged = true;
  return o;
}

bool is_report(const std::string& text) { return json::accept(text) && json::parse(text).contains("answer"); }

// All a FIFO holds until its writer closes it.
std::string drain(int fd) {
  std::string got;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) got.append(buffer, size_t(n));
  return got;
}

// The id of a process that was killed and reaped: nothing runs under it.
pid_t killed_process() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::pause();
    _exit(0);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

class ToolFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::ScratchDir;
    std::string error;
    ASSERT_TRUE(test::write_generative_model(test::small_patch_model(false), *dir_ / "model.vorn", &error)) << error;
    // Readable by the unprivileged runs.
    fs::permissions(dir_->path(), fs::perms(0755));
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string model() { return *dir_ / "model.vorn"; }
  std::string scratch(const std::string& name) const { return work_ / name; }
  std::vector<std::string> chat(const std::string& report) const {
    return {"chat", "--model", model(), "--prompt", "Hi", "--max-new-tokens", "2", "--report", report};
  }

  test::ScratchDir work_;
  static test::ScratchDir* dir_;
};
test::ScratchDir* ToolFiles::dir_ = nullptr;

TEST_F(ToolFiles, OutputsGoThroughWhatStandsAtThePath) {
  // Links to a file and to a file not made yet: the file is written, the
  // link stays; a prepared-input directory through a link alike.
  test::write_text(scratch("old.json"), "old");
  ASSERT_EQ(::symlink("old.json", scratch("link.json").c_str()), 0);
  ASSERT_EQ(::symlink("new.json", scratch("dangling.json").c_str()), 0);
  ASSERT_EQ(::symlink("dump", scratch("dump-link").c_str()), 0);
  for (const auto& [link, file] : {std::pair{"link.json", "old.json"}, {"dangling.json", "new.json"}}) {
    const ToolRun r = run(VORN_CHAT_TOOL, chat(scratch(link)));
    EXPECT_EQ(r.status, 0) << link << ": " << r.err;
    EXPECT_TRUE(fs::is_symlink(scratch(link))) << link;
    EXPECT_TRUE(is_report(test::read_text(scratch(file)))) << link;
  }
  const ToolRun p = run(VORN_CHAT_TOOL, {"prepare", "--model", model(), "--prompt", "Hi", "--output", scratch("dump-link")});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(fs::is_symlink(scratch("dump-link")));
  EXPECT_TRUE(fs::exists(scratch("dump/inputs.json")));

  // A link to standard output: the report takes its turn before the answer.
  ASSERT_EQ(::symlink("/proc/self/fd/1", scratch("stdout").c_str()), 0);
  const ToolRun out = run(VORN_CHAT_TOOL, chat(scratch("stdout")));
  EXPECT_EQ(out.status, 0) << out.err;
  std::istringstream stream(out.out);
  json report;
  try {
    stream >> report;
    EXPECT_EQ(out.out.substr(size_t(stream.tellg())), "\n" + report.value("answer", "?") + "\n");
  } catch (const json::exception&) {
    ADD_FAILURE() << "no report on standard output: " << out.out;
  }
  EXPECT_TRUE(fs::is_symlink(scratch("stdout")));

  // A FIFO gets the report and stays a FIFO, also when its reader opens it
  // only after the tool has started (the tool waits for it, as any writer
  // into a FIFO does).
  ASSERT_EQ(::mkfifo(scratch("fifo").c_str(), 0600), 0);
  std::string late_text;
  std::atomic<bool> read_done{false};
  std::thread late([&] {
    ::usleep(300 * 1000);
    const int fd = ::open(scratch("fifo").c_str(), O_RDONLY);
    if (fd >= 0) late_text = drain(fd), ::close(fd);
    read_done = true;
  });
  const ToolRun piped = run(VORN_CHAT_TOOL, chat(scratch("fifo")));
  // A tool that never opened the FIFO must not leave the reader waiting.
  while (!read_done) {
    const int w = ::open(scratch("fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) ::close(w);
    ::usleep(10 * 1000);
  }
  late.join();
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_TRUE(is_report(late_text)) << late_text;
  EXPECT_TRUE(fs::is_fifo(scratch("fifo")));

  // A null device of our own (only root may make one): written through, and
  // still a device after.
  if (::geteuid() == 0) {
    ASSERT_EQ(::mknod(scratch("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    const ToolRun r = run(VORN_CHAT_TOOL, chat(scratch("null")));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_character_file(scratch("null")));
  }

  // A report in a directory the tool may not add to: rewritten in place.
  fs::create_directory(scratch("locked"));
  test::write_text(scratch("locked/report.json"), "old");
  fs::permissions(scratch("locked/report.json"), fs::perms(0666));
  fs::permissions(scratch("locked"), fs::perms(0555));
  fs::permissions(work_.path(), fs::perms(0755));
  const ToolRun locked = run(VORN_CHAT_TOOL, chat(scratch("locked/report.json")), unprivileged());
  EXPECT_EQ(locked.status, 0) << locked.err;
  EXPECT_TRUE(is_report(test::read_text(scratch("locked/report.json"))));
  fs::permissions(scratch("locked"), fs::perms(0755));
}

TEST_F(ToolFiles, InputsThatAreNotRegularFilesAreRefusedAtOnce) {
  const std::string fifo = scratch("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  test::write_text(scratch("messages.json"),
                   json::array({{{"role", "user"}, {"content", {{{"type", "image"}, {"path", fifo}}}}}}).dump());
  const struct {
    const char* tool;
    std::vector<std::string> args;
    std::string text;
  } cases[] = {
      {VORN_CHAT_TOOL, {"chat", "--model", fifo, "--prompt", "hi"},
       "vorn: [2] Cannot open model " + fifo + ": not a regular file"},
      {VORN_CHAT_TOOL, {"chat", "--model", model(), "--prompt", "hi", "--image", fifo}, "Cannot read image"},
      {VORN_CHAT_TOOL, {"chat", "--model", model(), "--messages", scratch("messages.json")}, "Cannot read image"},
      {VORN_CHAT_TOOL, {"chat", "--model", model(), "--messages", fifo}, "vorn: Cannot read messages JSON"},
      {VORN_CHAT_TOOL, {"infer", "--model", model(), "--request", fifo, "--output", scratch("o")},
       "vorn inference: Cannot read request"},
      {VORN_VULKAN_TOOL, {"prepare", "--model", fifo, "--prompt", "hi", "--output", scratch("o")},
       "vorn-vulkan: Cannot open model " + fifo + ": not a regular file"},
      {VORN_VULKAN_TOOL, {"prepare", "--model", model(), "--prompt", "hi", "--image", fifo, "--output", scratch("o")},
       "Cannot read image"},
  };
  for (const auto& c : cases) {
    const ToolRun r = run(c.tool, c.args);
    EXPECT_TRUE(r.status == 1 || r.status == 2) << c.text << ": status " << r.status;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
  }

  // Input files: a FIFO, a device that never ends and a file far larger
  // than its tensor are each refused before they are read, in a process
  // that could not hold them; the result still goes through a link.
  const std::string dump = scratch("dump");
  ASSERT_EQ(run(VORN_CHAT_TOOL, {"prepare", "--model", model(), "--prompt", "Hi", "--output", dump}).status, 0);
  const json inputs = json::parse(test::read_text(dump + "/inputs.json"))["inputs"];
  const uint64_t need = fs::file_size(dump + "/input_ids.bin");
  test::write_text(scratch("huge.bin"), "");
  fs::resize_file(scratch("huge.bin"), uint64_t(1) << 40);  // sparse: no disk taken
  json cases_json = json::array();
  for (const std::string& file : {fifo, std::string("/dev/zero"), scratch("huge.bin")}) {
    json c = {{"name", file}, {"inputs", inputs}, {"max_new_tokens", 2}};
    c["inputs"]["input_ids"]["file"] = file;
    cases_json.push_back(c);
  }
  test::write_text(dump + "/request.json", json({{"schema_version", 1}, {"activation_dtype", 2}, {"cases", cases_json}}).dump());
  fs::create_directory(scratch("out"));
  ASSERT_EQ(::symlink("../result.json", scratch("out/result.json").c_str()), 0);
  const ToolRun r = run(VORN_CHAT_TOOL, {"infer", "--model", model(), "--request", "request.json", "--output",
                                         scratch("out")},
                        {.cwd = dump, .file_size_limit = -1, .stdout_path = nullptr, .timeout_seconds = kTimeout,
                         .address_space_limit = int64_t(8) << 30});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vorn inference: case 0: Input data length: input_ids cannot read " + fifo +
                       ": not a regular file\n"
                       "vorn inference: case 1: Input data length: input_ids cannot read /dev/zero: not a regular "
                       "file\n"
                       "vorn inference: case 2: Input data length: input_ids holds 1099511627776 bytes where its "
                       "shape and dtype need " +
                       std::to_string(need) + "\n");
  EXPECT_TRUE(fs::is_symlink(scratch("out/result.json")));
  EXPECT_EQ(json::parse(test::read_text(scratch("result.json")), nullptr, false)["cases"].size(), 3u);
}

TEST_F(ToolFiles, TheNextRunRemovesWhatKilledRunsLeft) {
  const std::string dead = std::to_string(killed_process()), live = std::to_string(::getpid());
  fs::create_directory(scratch("old"));
  const auto staged = [&](const std::string& dir) {
    fs::create_directories(scratch(dir));
    test::write_text(scratch(dir + "/pixel_values.bin"), std::string(4096, 'x'));
  };
  // Of our naming and of a process gone: removed.
  const std::vector<std::string> stale{".report.json.vorn-" + dead + "-Ab12Cd", ".dump.staging-" + dead + "-0",
                                       "old/.vorn-staging-" + dead + "-3"};
  // Of a live process, or of names that are not ours: kept.
  const std::vector<std::string> kept{".report.json.vorn-" + live + "-Ab12Cd", ".dump.staging-" + live + "-0",
                                      "old/.vorn-staging-" + live + "-1", ".report.json.vorn-" + dead + "-Ab12.d",
                                      "report.json.vorn-" + dead + "-Ab12Cd", ".other.staging-" + dead + "-0",
                                      "dump.staging-" + dead + "-0", "old/.vorn-staging-" + dead + "-"};
  for (const std::string& name : {stale[0], kept[0], kept[3], kept[4]}) test::write_text(scratch(name), "t");
  for (const std::string& name : {stale[1], stale[2], kept[1], kept[2], kept[5], kept[6], kept[7]}) staged(name);

  EXPECT_EQ(run(VORN_CHAT_TOOL, chat(scratch("report.json"))).status, 0);
  for (const char* out : {"dump", "old"})
    EXPECT_EQ(run(VORN_VULKAN_TOOL, {"prepare", "--model", model(), "--prompt", "Hi", "--output", scratch(out)}).status,
              0);
  for (const std::string& name : stale) EXPECT_FALSE(fs::exists(scratch(name))) << name;
  for (const std::string& name : kept) EXPECT_TRUE(fs::exists(scratch(name))) << name;
}

}  // namespace
}  // namespace vorn
