#include "frontend/chat_options.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "base/vn_error.h"
#include "frontend/number_scan.h"
#include "frontend/output_files.h"
#include "generation/json_values.h"
#include "generation/sampling_params.h"

namespace vorn {

namespace {

using json = nlohmann::json;

// Flags and the key each sets to true. "--answer-only" is accepted and sets
// nothing.
struct FlagOption {
  const char* name;
  const char* key;
};
constexpr FlagOption kFlags[] = {
    {"--stream", "stream"},           {"--graph-attention", "graph_attention"}, {"--graph-linear", "graph_linear"},
    {"--profile", "profile"},         {"--mps-prefill", "mps_prefill"},         {"--mps-attention", "mps_attention"},
    {"--answer-only", nullptr},
};

// The options that take the next argument as their value; the key is the
// name without "--" and with "-" as "_".
constexpr const char* kValuedOptions[] = {
    "--model",          "--prompt",          "--image",          "--image-detail",   "--image-longest-edge",
    "--image-crop",     "--max-new-tokens",  "--activation",     "--backend",        "--report",
    "--output",         "--decode-ids",      "--temperature",    "--top-p",          "--top-k",
    "--min-p",          "--repetition-penalty", "--repetition-window", "--seed",     "--stop",
    "--messages",       "--context-length",
};
static_assert(std::size(kValuedOptions) == 22);

// Integer options in the order they are checked; every one but the seed
// fits 32 bits.
constexpr const char* kIntegerKeys[] = {"image_longest_edge", "max_new_tokens", "top_k",
                                        "repetition_window",  "seed",           "context_length"};
constexpr const char* kSamplingKeys[] = {"temperature", "top_p", "min_p", "repetition_penalty"};

constexpr const char* kImageDetails[] = {"single", "tiled"};
constexpr const char* kActivations[] = {"fp16", "fp32"};
constexpr const char* kBackends[] = {"auto", "metal", "mps", "mpsgraph"};

constexpr uint32_t kMaxTokens = 8192;
// Deeper than any conversation needs; copying a parsed value recurses once
// per level, so a deeper file is refused before it is parsed.
constexpr uint32_t kMaxMessagesDepth = 128;
constexpr uint32_t kSingleEdge = 512;
constexpr uint32_t kTiledEdge = 2048;

[[noreturn]] void refuse(const std::string& message) { throw VNError(vn_category::kFrontend, message); }

template <size_t N>
bool one_of(const json& value, const char* const (&words)[N]) {
  if (!value.is_string()) return false;
  for (const char* w : words)
    if (value.get_ref<const std::string&>() == w) return true;
  return false;
}

const FlagOption* find_flag(std::string_view name) {
  for (const FlagOption& f : kFlags)
    if (name == f.name) return &f;
  return nullptr;
}

bool is_valued(std::string_view name) {
  for (const char* v : kValuedOptions)
    if (name == v) return true;
  return false;
}

std::string key_of(std::string_view name) {
  std::string key(name.substr(2));
  for (char& c : key)
    if (c == '-') c = '_';
  return key;
}

// A value's text: strings as they are, defaults (numbers) as they print.
std::string text_of(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

double scan_sampling(const json& value, const char* message) {
  double d = 0;
  if (!scan_finite_double(text_of(value), /*skip_space=*/true, &d)) refuse(message);
  return d;
}

void read_messages(json& options) {
  if (options.contains("image")) refuse("Use image items with --messages");
  std::string bytes;
  if (!read_file_bytes(options["messages"].get<std::string>(), &bytes)) refuse("Cannot read messages JSON");
  if (!json_nesting_within(bytes, kMaxMessagesDepth)) refuse("Messages JSON nests too deeply");
  json messages = json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!messages.is_array()) refuse("Messages must be a JSON array");
  options["messages"] = std::move(messages);
}

void check_integers(json& options) {
  for (const char* key : kIntegerKeys) {
    if (!options.contains(key)) continue;
    const uint64_t max = std::string_view(key) == "seed" ? UINT64_MAX : UINT32_MAX;
    uint64_t value = 0;
    switch (scan_unsigned(text_of(options[key]), max, &value)) {
      case ScanStatus::kOk:
        break;
      case ScanStatus::kInvalid:
        refuse("Invalid integer option");
      case ScanStatus::kTooLarge:
        refuse("Integer option too large");
    }
    options[key] = value;
  }
}

void check_crop(json& options) {
  const std::string text = text_of(options["image_crop"]);
  json crop = json::array();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    crop.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (crop.size() != 4) refuse("Crop requires four normalized coordinates");
  for (json& c : crop) c = scan_sampling(c, "Invalid crop coordinate");
  const double x0 = crop[0], y0 = crop[1], x1 = crop[2], y1 = crop[3];
  if (!(x0 >= 0 && x0 < x1 && x1 <= 1 && y0 >= 0 && y0 < y1 && y1 <= 1)) refuse("Crop bounds");
  options["image_crop"] = std::move(crop);
}

void check_options(json& options) {
  if (options.contains("prompt") == options.contains("messages"))
    refuse("Exactly one of --prompt or --messages is required");
  if (options.contains("messages")) read_messages(options);
  if (!one_of(options["image_detail"], kImageDetails)) refuse("--image-detail must be single or tiled");
  if (!one_of(options["activation"], kActivations)) refuse("--activation must be fp16 or fp32");
  if (options.contains("backend") && !one_of(options["backend"], kBackends))
    refuse("--backend must be auto, metal, mps or mpsgraph");
  check_integers(options);
  for (const char* key : kSamplingKeys)
    if (options.contains(key)) options[key] = scan_sampling(options[key], "Invalid sampling number");
  sampling_params_from_dictionary(options);  // refuses values out of their ranges

  if (options.contains("context_length")) {
    const uint64_t c = options["context_length"];
    if (c < 1 || c > kMaxTokens) refuse("--context-length must be 1..8192");
  }
  const uint64_t budget = options["max_new_tokens"];
  if (budget < 1 || budget > kMaxTokens) refuse("--max-new-tokens must be 1..8192");

  const bool tiled = options["image_detail"] == "tiled";
  // Messages carry their own image items, so image settings go with them.
  if (!options.contains("image") && !options.contains("messages") &&
      (options.contains("image_longest_edge") || options.contains("image_crop") || tiled))
    refuse("Image detail settings require --image");
  if (!options.contains("image_longest_edge")) options["image_longest_edge"] = tiled ? kTiledEdge : kSingleEdge;
  const uint64_t edge = options["image_longest_edge"];
  if (edge < kSingleEdge || edge > kTiledEdge || (!tiled && edge != kSingleEdge))
    refuse("Invalid image longest edge");
  if (options.contains("image_crop")) check_crop(options);
}

}  // namespace

json parse_cli_options_or_throw(int argc, const char* const* argv) {
  json options = {{"model", kChatDefaultModel}, {"activation", "fp32"}, {"image_detail", "single"},
                  {"max_new_tokens", 64}};
  for (int i = 2; i < argc;) {
    const std::string_view arg = argv[i];
    if (const FlagOption* flag = find_flag(arg)) {
      if (flag->key != nullptr) options[flag->key] = true;
      ++i;
      continue;
    }
    // The next argument is the value whatever it looks like: a prompt may
    // begin with "--".
    if (!is_valued(arg) || i + 1 >= argc) refuse("Unknown/incomplete option: " + std::string(arg));
    const std::string key = key_of(arg);
    const std::string value = argv[i + 1];
    if (key == "stop") {
      if (value.empty()) refuse("Empty stop sequence");
      options["stop"].push_back(value);  // a new array the first time
    } else {
      if (options.contains(key + "_set")) refuse("Duplicate CLI option");
      options[key] = value;
      options[key + "_set"] = true;
    }
    i += 2;
  }
  check_options(options);
  return options;
}

std::optional<json> parse_cli_options(int argc, const char* const* argv) {
  try {
    return parse_cli_options_or_throw(argc, argv);
  } catch (const VNError& e) {
    if (std::string_view(e.category()) != vn_category::kFrontend) throw;
    std::fprintf(stderr, "vorn: %s\n", e.reason());
    return std::nullopt;
  }
}

const char* options_model_path(const json& options) {
  return options.at("model").get_ref<const std::string&>().c_str();
}

}  // namespace vorn
