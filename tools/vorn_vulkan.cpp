// vorn-vulkan: the front end of builds that generate on a Vulkan device.
//
//   vorn-vulkan chat|prepare|selftest|info [options]
//
// This build has no Vulkan device: "prepare" (request preparation only)
// runs, and chat, selftest and info check their options and then stop with
// one line saying that the device is missing. Every failure is one line on
// standard error and a non-zero exit status (2 the command line is wrong,
// 1 the command failed).
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "frontend/model_file.h"
#include "frontend/prepare_output.h"
#include "frontend/vulkan_options.h"
#include "generation/request_prepare.h"
#include "generation/vn_processor.h"

namespace {

constexpr char kHelp[] =
    "usage: vorn-vulkan chat|prepare|selftest|info [--activation fp16|int8] [--int8-scope prefill|vision] [options]\n"
    "\n"
    "The front end of builds that generate on a Vulkan device. This build has no\n"
    "Vulkan device: only prepare runs; chat, selftest and info check their options\n"
    "and stop with a message saying so.\n"
    "\n"
    "commands:\n"
    "  prepare    write the prepared model inputs of one request to --output:\n"
    "             one raw NAME.bin per input tensor and inputs.json\n"
    "  chat       answer a prompt or a messages file (needs a Vulkan device)\n"
    "  selftest   check the device (needs a Vulkan device)\n"
    "  info       describe the device (needs a Vulkan device)\n"
    "\n"
    "options:\n"
    "  --model PATH                 the .vorn generative model (chat, prepare)\n"
    "  --prompt TEXT                the user's text (or --messages, not both)\n"
    "  --messages FILE              a JSON array of chat messages\n"
    "  --image PATH                 an image before the prompt\n"
    "  --image-detail single|tiled  one 512x512 view or tiles (default single)\n"
    "  --image-longest-edge N       512..2048, tiled only (default 512 or 2048)\n"
    "  --max-new-tokens N           token budget, 1..context (default 64)\n"
    "  --context-length N           context budget, at most 8192 (default 2048)\n"
    "  --output DIR                 prepare: the directory to write\n"
    "  --report PATH                chat: a generation report\n"
    "  --temperature X  --top-p X  --min-p X  --repetition-penalty X\n"
    "  --top-k N  --repetition-window N  --seed N\n"
    "  --stop TEXT                  a stop string (repeatable)\n"
    "  --stream  --profile  --profile-ops\n"
    "  --backend vulkan             the only backend of this build\n"
    "  --activation fp16|int8       activation precision (default fp16)\n"
    "  --int8-scope prefill|vision  where int8 activations apply (with --activation int8)\n"
    "  --vision-calibration PATH    vision calibration file (FP16 image chat)\n"
    "  -h, --help                   show this help\n"
    "\n"
    "exit status: 0 done, 1 the command failed, 2 the command line is wrong\n";

constexpr char kNoDevice[] = "this build has no Vulkan device";
constexpr const char* kCommands[] = {"chat", "prepare", "selftest", "info"};

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "vorn-vulkan: %s\n", message.c_str());
  return status;
}

bool known_command(const char* word) {
  for (const char* c : kCommands)
    if (std::strcmp(word, c) == 0) return true;
  return false;
}

int prepare(const vorn::FrontendOptions& options) {
  const vorn::ModelFile model(options.model);
  const vorn::VNProcessor processor(model.metadata(), model.metadata_length(), model.fd(), model.base());
  vorn::write_prepare_output(vorn::prepare_request(options, processor.processor()), options.output);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "help") == 0 || (argc >= 3 && std::strcmp(argv[2], "--help") == 0))) {
    std::fputs(kHelp, stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "vorn-vulkan: cannot write the help to standard output\n");
    return 1;
  }
  // The parser's refusal does not say which word it refused.
  if (argc >= 2 && !known_command(argv[1]))
    return fail(2, std::string("Unknown command ") + argv[1] + " (chat, prepare, selftest or info; see --help)");
  vorn::FrontendOptions options;
  try {
    options = vorn::parse_command_line(argc, argv);
  } catch (const std::exception& e) {
    return fail(2, e.what());
  }
  if (options.command != "prepare") return fail(1, kNoDevice);
  try {
    return prepare(options);
  } catch (const std::exception& e) {
    return fail(1, e.what());
  }
}
