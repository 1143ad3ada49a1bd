// Fuzzes the generative open: the input replaces the first bytes of a small
// test model (its header, metadata, graph block, tensor records and
// document table), the metadata digests are sealed again so the change
// reaches the checks behind them, and a model that opens generates two
// tokens. At start-up every hostile container of the unit tests is opened
// once, so they all run under the sanitizers here.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "generation/vlm_interface.h"
#include "gpu/generative_model.h"
#include "hostile_generative.h"

namespace {

using namespace vorn;

const std::vector<uint8_t>& model() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b;
    std::string error;
    if (!test::build_generative_model(test::small_patch_model(true), &b, &error)) std::abort();
    return b;
  }();
  return bytes;
}

// Opens the bytes as a generative model; when it opens, generates.
bool open_and_generate(const std::vector<uint8_t>& file) {
  const int fd = memfd_create("vorn-generative", MFD_CLOEXEC);
  if (fd < 0 || write(fd, file.data(), file.size()) != ssize_t(file.size())) std::abort();
  VlmSession* vlm = nullptr;
  uint32_t code = 0;
  char message[256];
  const bool opened = vlm_session_open_fd(fd, 0, file.size(), 256, 0, nullptr, 0, &vlm, &code, message, 256);
  close(fd);
  if (opened) {
    const VlmChatMessage m{"user", "Hi", 0, nullptr, 0, 0, 0, 0, 0, 0};
    vlm_generate(vlm, &m, 1, 2, 0, 0, nullptr, 0, 0, 1, 0, 1, 0, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                 nullptr, nullptr, nullptr, nullptr, nullptr, &code, message, 256);
    vlm_close(vlm);
  }
  return opened;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (const test::HostileCase& c : test::hostile_cases())
    if (open_and_generate(test::hostile_model(model(), c))) {
      std::fprintf(stderr, "hostile container opened: %s\n", c.name);
      std::abort();
    }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file = model();
  if (size > file.size()) size = file.size();
  std::copy(data, data + size, file.begin());
  // Sealed again when the metadata end still lies in the file.
  const uint64_t meta_end = test::file_u64(file, 48);
  if (meta_end >= 512 && meta_end <= file.size()) container_seal_metadata(file.data(), meta_end);
  open_and_generate(file);
  return 0;
}
