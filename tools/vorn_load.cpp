// vorn-load: converts an ONNX model into a .vorn container.
//
//   vorn-load [options] MODEL.onnx OUTPUT.vorn
//
// Prints the model's inputs and outputs and the conversion notes; a failure
// prints one message to standard error and exits with a non-zero status
// (1 the conversion failed, 2 the command line is wrong).

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/file_write.h"
#include "converter/conversion_notes.h"
#include "converter/convert.h"
#include "converter/quantize_q8.h"
#include "converter/shape_binding.h"

namespace {

constexpr char kUsage[] =
    "usage: vorn-load [options] MODEL.onnx OUTPUT.vorn\n"
    "\n"
    "Converts an ONNX model (opsets 11 to 20) into a .vorn container. What\n"
    "cannot be converted exactly is refused with a message naming the node.\n"
    "\n"
    "options:\n"
    "  --input NAME=D0xD1x...[:f32|:i64]  shape (and element type) of a graph input\n"
    "  --dim NAME=N                       size of a named dynamic dimension\n"
    "  --report-only                      check the model and print the summary; write nothing\n"
    "  --q8                               store the large weight matrices as Q8 blocks\n"
    "  --legacy                           the older conversion with model-specific approximations\n"
    "  --size N | --size HxW              legacy: size of dynamic spatial dimensions\n"
    "  --batch N                          legacy: size of dynamic batch dimensions\n"
    "  -h, --help                         show this help\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "vorn-load: %s\n%s", message.c_str(), kUsage);
  return 2;
}

std::string take(vorn::ByteString* b) {
  std::string t(reinterpret_cast<const char*>(b->ptr), b->len);
  vorn::bytes_free(b);
  return t;
}

bool parse_number(const char* text, uint64_t* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (end == nullptr || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = v;
  return true;
}

// Prints a text as one or more whole lines: a text that already ends its
// last line (the unsupported-node report does) gets no second newline.
void print_lines(FILE* to, const char* prefix, const std::string& text) {
  std::fprintf(to, "%s%s%s", prefix, text.c_str(), text.empty() || text.back() != '\n' ? "\n" : "");
}

void print_notes() {
  vorn::ByteString notes[3] = {vorn::convert_note_dynamic_batch(), vorn::convert_note_int8_weights(),
                               vorn::convert_note_rewrites()};
  for (vorn::ByteString& n : notes) {
    std::string t = take(&n);
    if (t.empty()) continue;
    print_lines(stdout, "", t);
  }
}

}  // namespace

int main(int argc, char** argv) {
  vorn::ConvertOptions options = vorn::convert_options_init();
  const char* paths[2] = {nullptr, nullptr};
  int path_count = 0;
  bool q8 = false, legacy = false, options_given = false;
  uint64_t size_word = 0, batch = 1;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* flag) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)flag;
      return argv[++i];
    };
    if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(a, "--input") == 0 || std::strcmp(a, "--dim") == 0) {
      const char* v = value(a);
      if (v == nullptr) return usage_error(std::string(a) + " needs a value");
      vorn::UnitResult r = a[2] == 'i' ? vorn::convert_options_add_input(&options, v, std::strlen(v))
                                       : vorn::convert_options_add_dim(&options, v, std::strlen(v));
      if (!r.ok()) return usage_error(take(&r.error));
      options_given = true;
    } else if (std::strcmp(a, "--report-only") == 0) {
      options.report_only = 1;
      options_given = true;
    } else if (std::strcmp(a, "--q8") == 0) {
      q8 = true;
    } else if (std::strcmp(a, "--legacy") == 0) {
      legacy = true;
    } else if (std::strcmp(a, "--size") == 0) {
      const char* v = value(a);
      uint64_t h = 0, w = 0;
      const char* x = v != nullptr ? std::strchr(v, 'x') : nullptr;
      if (x != nullptr) {
        std::string first(v, static_cast<size_t>(x - v));
        if (!parse_number(first.c_str(), &h) || !parse_number(x + 1, &w) || h > 0xFFFF || w > 0xFFFF || h == 0 ||
            w == 0)
          return usage_error("--size takes N or HxW with sides from 1 to 65535");
        size_word = (h << 16) | w;
        if (size_word < 65536) return usage_error("--size HxW needs a height of at least 1");
      } else if (!parse_number(v, &size_word) || size_word == 0 || size_word >= 65536) {
        return usage_error("--size takes N (1 to 65535) or HxW");
      }
    } else if (std::strcmp(a, "--batch") == 0) {
      if (!parse_number(value(a), &batch) || batch == 0) return usage_error("--batch takes a number from 1");
    } else if (a[0] == '-' && a[1] != '\0') {
      return usage_error(std::string("unknown option ") + a);
    } else {
      if (path_count == 2) return usage_error("more than two paths given");
      paths[path_count++] = a;
    }
  }
  if (path_count != 2) return usage_error("MODEL.onnx and OUTPUT.vorn are both needed");
  if (legacy && options_given) return usage_error("--legacy does not take --input, --dim or --report-only");
  if (!legacy && (size_word != 0 || batch != 1)) return usage_error("--size and --batch belong to --legacy");
  if (q8 && options.report_only) return usage_error("--q8 writes a container; it cannot go with --report-only");

  const std::string onnx = paths[0], out = paths[1];
  // With --q8 the F32 container is an intermediate file beside the output's
  // file, named as the temporaries are so that a killed run's copy is removed
  // by the next run; an output that is a device or a pipe gets it in the
  // temporary directory.
  std::string target = out;
  if (q8) {
    target = vorn::make_temporary_beside(out.c_str());
    if (target.empty()) {
      std::fprintf(stderr, "vorn-load: cannot make an intermediate file for %s: %s\n", out.c_str(), std::strerror(errno));
      return 1;
    }
  }
  // Both modes print the same summary and the same failure text; legacy mode
  // takes its sizes as the option word of the flags entry point.
  vorn::ConvertOutcome o =
      legacy ? vorn::convert_onnx_impl(vorn::slice_of(onnx), vorn::slice_of(target), (batch << 32) | size_word, nullptr)
             : vorn::convert_onnx_file_with_options(vorn::slice_of(onnx), vorn::slice_of(target), &options);
  std::string text = take(&o.text);
  if (o.status != 0) {
    if (q8) std::remove(target.c_str());
    print_lines(stderr, "vorn-load: ", text);
    return 1;
  }
  std::fputs(text.c_str(), stdout);
  print_notes();
  if (q8) {
    vorn::QuantizeOutcome q = vorn::quantize_pack_q8(vorn::slice_of(target), vorn::slice_of(out));
    std::remove(target.c_str());
    std::string text = take(&q.text);
    if (q.status != 0) {
      print_lines(stderr, "vorn-load: ", text);
      return 1;
    }
    print_lines(stdout, "", text);
  }
  if (options.report_only) std::printf("report only: nothing written\n");
  return 0;
}
