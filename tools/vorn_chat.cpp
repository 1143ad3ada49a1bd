// vorn-chat: generation on a .vorn vision-language model from the command
// line.
//
//   vorn-chat chat    --model MODEL (--prompt TEXT | --messages FILE) [options]
//   vorn-chat prepare --model MODEL (--prompt TEXT | --messages FILE) --output DIR [options]
//   vorn-chat infer   --model MODEL --request FILE --output DIR
//
// Every failure is one line on standard error and a non-zero exit status
// (2 the command line is wrong, 1 the command failed).
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "frontend/chat_command.h"
#include "frontend/chat_options.h"
#include "frontend/inference_runner.h"
#include "frontend/model_file.h"
#include "frontend/prepare_command.h"

namespace {

constexpr char kHelp[] =
    "usage: vorn-chat chat|prepare --model MODEL (--prompt TEXT | --messages FILE) [options]\n"
    "       vorn-chat infer --model MODEL --request FILE --output DIR\n"
    "\n"
    "commands:\n"
    "  chat       answer a prompt or a conversation; the answer goes to standard output\n"
    "  prepare    write the prepared model inputs of one request to --output:\n"
    "             one raw NAME.bin per input tensor and inputs.json\n"
    "  infer      run the cases of a request file; each case's outputs go to\n"
    "             DIR/caseN and the summary to DIR/result.json\n"
    "\n"
    "options of chat and prepare:\n"
    "  --model PATH                 the .vorn generative model\n"
    "                               (default models/smolvlm2-500m-fp16.vorn)\n"
    "  --prompt TEXT                the user's text (or --messages, not both)\n"
    "  --messages FILE              a JSON array of chat messages, images as\n"
    "                               {\"type\": \"image\", \"path\": FILE} items\n"
    "  --image PATH                 an image before the prompt\n"
    "  --image-detail single|tiled  one 512x512 view or tiles (default single)\n"
    "  --image-longest-edge N       512..2048, tiled only (default 512 or 2048)\n"
    "  --image-crop X0,Y0,X1,Y1     crop first, edges as fractions of the image\n"
    "  --max-new-tokens N           token budget, 1..8192 (default 64)\n"
    "  --context-length N           context budget, 1..8192 (default 2048)\n"
    "  --activation fp16|fp32       activation precision (default fp32)\n"
    "  --backend auto|metal|mps|mpsgraph\n"
    "  --temperature X  --top-p X  --min-p X  --repetition-penalty X\n"
    "  --top-k N  --repetition-window N  --seed N   (temperature 0: greedy)\n"
    "  --stop TEXT                  a stop string (repeatable)\n"
    "  --stream                     print the answer while it is generated\n"
    "  --report PATH                chat: write a generation report (JSON)\n"
    "  --output DIR                 prepare: the directory to write\n"
    "  --decode-ids ID,ID,...       prepare: print the text of these token ids\n"
    "                               (and add it to inputs.json as \"decoded\")\n"
    "  --profile  --graph-attention  --graph-linear  --mps-prefill  --mps-attention\n"
    "  --answer-only                accepted for compatibility; does nothing\n"
    "  -h, --help                   show this help\n"
    "\n"
    "options of infer:\n"
    "  --model PATH                 the .vorn generative model\n"
    "  --request FILE               {\"schema_version\": 1, \"cases\": [...]}, each case holding\n"
    "                               the \"inputs\" of an inputs.json that prepare wrote\n"
    "  --output DIR                 where caseN/ and result.json go\n"
    "\n"
    "exit status: 0 done, 1 the command failed, 2 the command line is wrong\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "vorn: %s\n", message.c_str());
  return 2;
}

int prepare(const nlohmann::json& options) {
  // A missing --output is a wrong command line, whatever the model.
  if (!options.contains("output")) {
    std::fprintf(stderr, "vorn prepare: prepare requires --output DIRECTORY\n");
    return 2;
  }
  std::unique_ptr<vorn::ModelFile> model;
  try {
    model = std::make_unique<vorn::ModelFile>(vorn::options_model_path(options));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorn prepare: %s\n", e.what());
    return 1;
  }
  return vorn::prepare_command(model->metadata(), model->metadata_length(), model->fd(), model->base(), options)
             ? 0
             : 1;
}

// infer's own options: --model, --request and --output, each once.
int infer(int argc, char** argv) {
  std::string values[3];
  const char* const names[3] = {"--model", "--request", "--output"};
  values[0] = vorn::kChatDefaultModel;
  bool given[3] = {false, false, false};
  for (int i = 2; i < argc; i += 2) {
    int k = 0;
    while (k < 3 && std::strcmp(argv[i], names[k]) != 0) ++k;
    if (k == 3) return usage_error(std::string("unknown infer option ") + argv[i]);
    if (i + 1 >= argc) return usage_error(std::string(argv[i]) + " needs a value");
    if (given[k]) return usage_error(std::string("duplicate option ") + argv[i]);
    given[k] = true;
    values[k] = argv[i + 1];
  }
  if (!given[1] || !given[2]) return usage_error("infer requires --request FILE and --output DIR");
  return vorn::run_inference_request(values[0], values[1], values[2]) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("a command is required: chat, prepare or infer (see --help)");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help" ||
      (argc >= 3 && std::strcmp(argv[2], "--help") == 0)) {
    std::fputs(kHelp, stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "vorn: cannot write the help to standard output\n");
    return 1;
  }
  if (command != "chat" && command != "prepare" && command != "infer")
    return usage_error("unknown command " + command + " (chat, prepare or infer; see --help)");
  try {
    if (command == "infer") return infer(argc, argv);
    const std::optional<nlohmann::json> options = vorn::parse_cli_options(argc, argv);
    if (!options) return 2;
    if (command == "prepare") return prepare(*options);
    return vorn::chat_command(*options) ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorn: %s\n", e.what());
    return 1;
  }
}
