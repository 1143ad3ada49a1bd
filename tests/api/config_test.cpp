// The configuration handle, the version and the backend probe, and the
// status texts of the error record.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "session/config.h"
#include "session/error_record.h"
#include "session/locked_block.h"
#include "vorn.h"

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "<unset>";
}

TEST(ConfigTest, NewConfigHasTheDefaults) {
  VornConfig* c = vorn_config_new();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->backend, VORN_BACKEND_AUTO);
  EXPECT_EQ(c->threads, 8u);
  EXPECT_EQ(c->verify_weights, 0);
  EXPECT_EQ(c->models_dir_len, 0u);
  EXPECT_EQ(c->models_dir[0], 0);
  vorn_config_free(c);
}

TEST(ConfigTest, ThreadsBackendAndVerify) {
  VornConfig* c = vorn_config_new();
  const struct {
    int32_t given;
    uint32_t stored;
  } threads[] = {{0, 8}, {-5, 8}, {33, 32}, {32, 32}, {1, 1}, {INT32_MIN, 8}, {INT32_MAX, 32}, {17, 17}};
  for (auto t : threads) {
    vorn_config_set_threads(c, t.given);
    EXPECT_EQ(c->threads, t.stored) << t.given;
  }
  vorn_config_set_backend(c, VORN_BACKEND_NPU);
  vorn_config_set_backend(c, 4);
  EXPECT_EQ(c->backend, VORN_BACKEND_NPU);
  vorn_config_set_backend(c, UINT32_MAX);
  EXPECT_EQ(c->backend, VORN_BACKEND_NPU);
  vorn_config_set_verify_weights(c, 7);
  EXPECT_EQ(c->verify_weights, 1);
  vorn_config_set_verify_weights(c, 0);
  EXPECT_EQ(c->verify_weights, 0);
  vorn_config_free(c);
}

TEST(ConfigTest, DirectoriesAreCutAndPublished) {
  VornConfig* c = vorn_config_new();
  std::string long_dir = "/" + std::string(599, 'c');
  vorn_config_set_cache_dir(c, long_dir.data(), long_dir.size());
  EXPECT_EQ(c->cache_dir_len, 511u);
  EXPECT_EQ(c->cache_dir[511], 0);
  EXPECT_EQ(env("VORN_QNN_CACHE_DIR"), long_dir.substr(0, 511));

  // Not NUL-terminated input: only the given bytes are taken.
  const char raw[] = {'/', 's', 'k', 'e', 'l', 'X'};
  vorn_config_set_skel_dir(c, raw, 5);
  EXPECT_EQ(std::string(c->skel_dir, c->skel_dir_len), "/skel");
  EXPECT_EQ(env("ADSP_LIBRARY_PATH"), "/skel");
  vorn_config_set_skel_dir(c, "", 0);  // clears the field, leaves the variable
  EXPECT_EQ(c->skel_dir_len, 0u);
  EXPECT_EQ(env("ADSP_LIBRARY_PATH"), "/skel");
  vorn_config_set_cache_dir(c, nullptr, 40);
  EXPECT_EQ(c->cache_dir_len, 0u);
  EXPECT_EQ(env("VORN_QNN_CACHE_DIR"), long_dir.substr(0, 511));

  vorn_config_set_models_dir(c, "/m", 2);
  EXPECT_STREQ(c->models_dir, "/m");
  vorn_config_free(c);
  unsetenv("VORN_QNN_CACHE_DIR");
  unsetenv("ADSP_LIBRARY_PATH");
}

TEST(ConfigTest, VersionAndProbe) {
  EXPECT_STREQ(vorn_version(), "0.1.0-ea.1");
  EXPECT_TRUE(vorn_probe_backend(nullptr, VORN_BACKEND_AUTO));
  EXPECT_TRUE(vorn_probe_backend(nullptr, VORN_BACKEND_CPU));
  EXPECT_FALSE(vorn_probe_backend(nullptr, 7));
  EXPECT_FALSE(vorn_probe_backend(nullptr, UINT32_MAX));
  // A configured NPU-runtime directory is published on every probe.
  VornConfig* c = vorn_config_new();
  vorn_config_set_skel_dir(c, "/npu", 4);
  unsetenv("ADSP_LIBRARY_PATH");
  EXPECT_FALSE(vorn_probe_backend(c, 9));
  EXPECT_EQ(env("ADSP_LIBRARY_PATH"), "/npu");
  vorn_config_free(c);
  unsetenv("ADSP_LIBRARY_PATH");
}

// Drops the right to lock memory: no lock budget and, when running as root,
// no CAP_IPC_LOCK either.
void forbid_mlock() {
  rlimit none{0, 0};
  setrlimit(RLIMIT_MEMLOCK, &none);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) == 0) {
    data[CAP_IPC_LOCK / 32].effective &= ~(1u << (CAP_IPC_LOCK % 32));
    syscall(SYS_capset, &header, data);
  }
}

#if defined(__SANITIZE_ADDRESS__)
#define VORN_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_TEST_ASAN 1
#endif
#endif

TEST(ConfigTest, HandlesWorkWhenMemoryCannotBeLocked) {
#ifdef VORN_TEST_ASAN
  GTEST_SKIP() << "AddressSanitizer replaces mlock with a call that always succeeds";
#endif
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    forbid_mlock();
    int bad = 0;
    vorn::LockedBlock probe = vorn::locked_block_new(4096);
    if (probe.ptr == nullptr || probe.locked) bad |= 1;
    vorn::locked_block_free(probe.ptr, 4096, probe.locked);
    VornConfig* c = vorn_config_new();
    if (c == nullptr || c->locked) bad |= 2;
    vorn_config_set_models_dir(c, "/m", 2);
    vorn_config_set_threads(c, 3);
    VornSession* s = vorn_session_new(c);
    if (s == nullptr || vorn_session_requested_backend(s) != VORN_BACKEND_AUTO) bad |= 4;
    vorn_session_free(s);
    vorn_config_free(c);
    _exit(bad);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ErrorRecordTest, LoaderMessagesMapExactly) {
  const struct {
    const char* text;
    uint32_t code;
  } rows[] = {
      {"I/O failed", 2},
      {"failed reading model", 2},
      {"allocation failed", 7},
      {"out of memory reading model", 7},
      {"tensor hash mismatch", 13},
      {"metadata/header hash mismatch", 13},
      {"I/O failed.", 3},
      {"i/o failed", 3},
      {"invalid header/version/file size", 3},
      {"slot is busy", 3},
      {"invalid container layout", 3},
      {"", 3},
  };
  for (auto r : rows) EXPECT_EQ(vorn::load_error_status(r.text, std::strlen(r.text)), r.code) << r.text;
  // The prefix of a row is not the row.
  EXPECT_EQ(vorn::load_error_status("I/O failed", 9), 3u);
  EXPECT_EQ(vorn::load_error_status(nullptr, 0), 3u);
}

TEST(ErrorRecordTest, MessagesAreCutTo255Bytes) {
  vorn::ErrorRecord r{};
  std::string long_text(300, 'm');
  vorn::error_set(&r, 14, long_text);
  EXPECT_EQ(r.code, 14u);
  EXPECT_EQ(r.length, 255u);
  EXPECT_EQ(r.message[255], 0);
  EXPECT_EQ(std::string(r.message), long_text.substr(0, 255));
  // Re-recording the record's own text is safe.
  vorn::error_set(&r, 3, std::string_view(r.message + 5, 10));
  EXPECT_EQ(std::string(r.message), std::string(10, 'm'));
  vorn::error_clear(&r);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.length, 0u);
  EXPECT_EQ(r.message[0], 0);
}

}  // namespace
