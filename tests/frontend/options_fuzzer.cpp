// Fuzz target: both option parsers over command lines split from the input
// at NUL bytes, and the number scanners checked against the C library's
// conversions wherever they accept a text. Messages files are left out (the
// words naming them become prompts): the parsers only hand their bytes to
// the JSON library.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/vn_error.h"
#include "frontend/chat_options.h"
#include "frontend/number_scan.h"
#include "frontend/vulkan_options.h"

namespace {

void check_scanners(const std::string& text) {
  double d = 0;
  if (vorn::scan_finite_double(text, true, &d)) {
    errno = 0;
    const double reference = std::strtod(text.c_str(), nullptr);
    // strtod gives a denormal or zero where the scanner reads zero.
    if (!(reference == d || (d == 0 && std::fabs(reference) < 1e-300))) std::abort();
  }
  uint64_t u = 0;
  if (vorn::scan_unsigned(text, UINT64_MAX, &u) == vorn::ScanStatus::kOk &&
      (std::strtoull(text.c_str(), nullptr, 10) != u || errno == ERANGE))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"tool"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < 40; ++i) {
    if (data[i] != 0) {
      word.push_back(char(data[i]));
      continue;
    }
    words.push_back(word == "--messages" ? "--prompt" : word);
    word.clear();
  }
  words.push_back(word == "--messages" ? "--prompt" : word);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  try {
    vorn::parse_cli_options_or_throw(int(argv.size()), argv.data());
  } catch (const vorn::VNError&) {
  }
  try {
    vorn::parse_command_line(int(argv.size()), argv.data());
  } catch (const std::exception&) {
  }
  check_scanners(words.back());
  return 0;
}
