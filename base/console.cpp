#include "base/console.h"

#include <atomic>
#include <cstdio>

#include "base/files.h"

namespace vorn {

namespace {
constinit std::atomic<ErrorHook> g_error_hook{nullptr};
}

void print_slice(Slice s) {
  if (s.len != 0) std::fwrite(s.ptr, 1, s.len, stdout);
}

void print_line(Slice s) {
  print_slice(s);
  std::fputc('\n', stdout);
}

void error_line(Slice s) {
  if (ErrorHook hook = g_error_hook.load(std::memory_order_acquire)) {
    hook(2, s.ptr, s.len);
    return;
  }
  write_all(2, s.ptr, s.len);
  write_all(2, "\n", 1);
}

void error_newline() {
  if (ErrorHook hook = g_error_hook.load(std::memory_order_acquire)) {
    hook(2, empty_bytes(), 0);
    return;
  }
  write_all(2, "\n", 1);
}

void error_hook_set(ErrorHook hook) { g_error_hook.store(hook, std::memory_order_release); }
bool error_hook_is_set() { return g_error_hook.load(std::memory_order_acquire) != nullptr; }
void error_hook_clear() { g_error_hook.store(nullptr, std::memory_order_release); }

}  // namespace vorn
