#include "frontend/vulkan_options.h"

#include <set>
#include <stdexcept>
#include <string_view>

#include "frontend/number_scan.h"
#include "frontend/output_files.h"
#include "generation/json_values.h"

namespace vorn {

namespace {

using json = nlohmann::json;

constexpr const char* kCommands[] = {"chat", "prepare", "selftest", "info"};

// What each option does with its value, in one table.
enum class Target : uint32_t {
  kStream, kProfile, kProfileOps,                      // flags
  kModel, kPrompt, kMessages, kStop,                   // texts and files
  kTemperature, kTopP, kMinP, kRepetitionPenalty,      // sampling doubles
  kTopK, kRepetitionWindow, kSeed,                     // sampling integers
  kImage, kImageDetail, kReport, kOutput, kVisionCalibration, kBackend, kActivation, kInt8Scope,
  kMaxNewTokens, kImageLongestEdge, kContextLength,    // budgets
};

struct Option {
  const char* name;
  Target target;
  bool flag;
};

constexpr Option kOptions[] = {
    {"--stream", Target::kStream, true},
    {"--profile", Target::kProfile, true},
    {"--profile-ops", Target::kProfileOps, true},
    {"--model", Target::kModel, false},
    {"--prompt", Target::kPrompt, false},
    {"--messages", Target::kMessages, false},
    {"--stop", Target::kStop, false},
    {"--temperature", Target::kTemperature, false},
    {"--top-p", Target::kTopP, false},
    {"--min-p", Target::kMinP, false},
    {"--repetition-penalty", Target::kRepetitionPenalty, false},
    {"--top-k", Target::kTopK, false},
    {"--repetition-window", Target::kRepetitionWindow, false},
    {"--seed", Target::kSeed, false},
    {"--image", Target::kImage, false},
    {"--image-detail", Target::kImageDetail, false},
    {"--report", Target::kReport, false},
    {"--output", Target::kOutput, false},
    {"--vision-calibration", Target::kVisionCalibration, false},
    {"--backend", Target::kBackend, false},
    {"--activation", Target::kActivation, false},
    {"--int8-scope", Target::kInt8Scope, false},
    {"--max-new-tokens", Target::kMaxNewTokens, false},
    {"--image-longest-edge", Target::kImageLongestEdge, false},
    {"--context-length", Target::kContextLength, false},
};

constexpr uint64_t kBudgetLimit = 8192;  // budgets and edges must stay at or below it
constexpr uint32_t kSingleEdge = 512;
constexpr uint32_t kTiledEdge = 2048;
// Deeper than any conversation needs; copying a parsed value recurses once
// per level, so a deeper file is refused before it is parsed.
constexpr uint32_t kMaxMessagesDepth = 128;

const Option* find_option(std::string_view name) {
  for (const Option& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

double sampling_double(const std::string& v) {
  double d = 0;
  require_or_throw(scan_finite_double(v, /*skip_space=*/false, &d), "Invalid sampling number");
  return d;
}

uint64_t sampling_integer(const std::string& v, bool seed) {
  uint64_t value = 0;
  const ScanStatus s = scan_unsigned(v, seed ? UINT64_MAX : UINT32_MAX, &value);
  require_or_throw(s != ScanStatus::kInvalid, "Invalid sampling integer");
  require_or_throw(s == ScanStatus::kOk, "Sampling integer too large");
  return value;
}

uint32_t budget(const std::string& v) {
  uint64_t value = 0;
  const ScanStatus s = scan_unsigned(v, kBudgetLimit, &value);
  require_or_throw(s != ScanStatus::kInvalid, "Invalid positive integer");
  require_or_throw(s == ScanStatus::kOk, "Option too large");
  return static_cast<uint32_t>(value);
}

void read_messages(const std::string& path, FrontendOptions& options) {
  std::string bytes;
  require_or_throw(read_file_bytes(path, &bytes), "Cannot read messages JSON");
  require_or_throw(json_nesting_within(bytes, kMaxMessagesDepth), "Messages JSON nests too deeply");
  options.messages = json::parse(bytes);  // a malformed file fails with the library's parse error
  require_or_throw(options.messages.is_array(), "Messages must be a JSON array");
}

}  // namespace

void require_or_throw(bool condition, const std::string& message) {
  if (!condition) throw std::runtime_error(message);
}

FrontendOptions parse_command_line(int argc, const char* const* argv) {
  require_or_throw(argc >= 2, kVulkanUsage);
  FrontendOptions options;
  options.command = argv[1];
  bool known = false;
  for (const char* c : kCommands) known = known || options.command == c;
  require_or_throw(known, "Unknown command");

  std::string activation = "fp16", scope = "prefill";
  bool edge_set = false;
  std::set<std::string> seen;
  for (int i = 2; i < argc;) {
    const std::string a = argv[i];
    require_or_throw(seen.insert(a).second || a == "--stop", "Duplicate option " + a);
    const Option* option = find_option(a);
    require_or_throw(option != nullptr, "Unknown option " + a);
    if (option->flag) {
      if (option->target == Target::kStream) options.stream = 1;
      if (option->target == Target::kProfile || option->target == Target::kProfileOps) options.profile = 1;
      if (option->target == Target::kProfileOps) options.profile_ops = 1;
      ++i;
      continue;
    }
    require_or_throw(i + 1 < argc, "Missing option value");
    const std::string v = argv[i + 1];
    SamplingParams& s = options.sampling;
    switch (option->target) {
      case Target::kModel: options.model = v; break;
      case Target::kPrompt: options.prompt = v; break;
      case Target::kMessages: read_messages(v, options); break;
      case Target::kStop:
        require_or_throw(!v.empty(), "Empty stop sequence");
        options.stop.push_back(v);
        break;
      case Target::kTemperature: s.temperature = sampling_double(v); break;
      case Target::kTopP: s.top_p = sampling_double(v); break;
      case Target::kMinP: s.min_p = sampling_double(v); break;
      case Target::kRepetitionPenalty: s.repetition_penalty = sampling_double(v); break;
      case Target::kTopK: s.top_k = static_cast<uint32_t>(sampling_integer(v, false)); break;
      case Target::kRepetitionWindow: s.repetition_window = static_cast<uint32_t>(sampling_integer(v, false)); break;
      case Target::kSeed: s.seed = sampling_integer(v, true); break;
      case Target::kImage: options.image = v; break;
      case Target::kImageDetail: options.image_detail = v; break;
      case Target::kReport: options.report = v; break;
      case Target::kOutput: options.output = v; break;
      case Target::kVisionCalibration: options.vision_calibration = v; break;
      case Target::kBackend:
        require_or_throw(v == "vulkan", "Only Vulkan backend supported in this build");
        options.backend = v;
        break;
      case Target::kActivation: activation = v; break;
      case Target::kInt8Scope: scope = v; break;
      case Target::kMaxNewTokens: options.max_new_tokens = budget(v); break;
      case Target::kImageLongestEdge:
        options.image_longest_edge = budget(v);
        edge_set = true;
        break;
      case Target::kContextLength: options.context_length = budget(v); break;
      case Target::kStream: case Target::kProfile: case Target::kProfileOps: break;  // flags, above
    }
    i += 2;
  }

  require_or_throw(sampling_params_valid(&options.sampling) != 0, "Invalid sampling parameters");
  require_or_throw(activation == "fp16" || activation == "int8", "--activation must be fp16 or int8");
  require_or_throw(options.vision_calibration.empty() ||
                       (options.command == "chat" && options.backend == "vulkan" && activation == "fp16" &&
                        !options.image.empty()),
                   "--vision-calibration requires a Vulkan FP16 image chat");
  require_or_throw(scope == "prefill" || scope == "vision", "--int8-scope must be prefill or vision");
  require_or_throw(!seen.contains("--int8-scope") || activation == "int8", "--int8-scope requires --activation int8");
  options.activation = activation == "fp16" ? kActivationF16
                       : scope == "vision"  ? kActivationInt8Vision
                                            : kActivationInt8Prefill;
  if (options.command != "chat" && options.command != "prepare") return options;

  require_or_throw(!options.model.empty() && seen.contains("--prompt") != seen.contains("--messages"),
                   "--model and exactly one of --prompt or --messages required");
  const bool tiled = options.image_detail == "tiled";
  require_or_throw(tiled || options.image_detail == "single", "Image detail");
  if (!edge_set) options.image_longest_edge = tiled ? kTiledEdge : kSingleEdge;
  require_or_throw(options.max_new_tokens >= 1 && options.max_new_tokens <= options.context_length &&
                       options.context_length <= kBudgetLimit,
                   "Invalid token budget");
  require_or_throw(options.image_longest_edge >= kSingleEdge && options.image_longest_edge <= kTiledEdge &&
                       (tiled || options.image_longest_edge == kSingleEdge),
                   "Image edge");
  require_or_throw(!options.image.empty() || !options.messages.is_null() || (!tiled && !edge_set),
                   "Image options require image");
  require_or_throw(options.command != "prepare" || !options.output.empty(), "--output required");
  return options;
}

}  // namespace vorn
