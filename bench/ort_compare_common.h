// What the drivers of bench/ort_compare share (ours, ort_compare_runner and
// ort_compare_layers, and ONNX Runtime's, ort_compare_peer): the input
// arguments they read, the timing loop and the line of figures they print,
// so that both sides time and report the same thing.
//
// An input argument is NAME:DTYPE:SHAPE:FILE: DTYPE f32 or i64, SHAPE the
// dims joined by x (1x3x224x224), FILE raw little-endian values. It is
// split from the right, since tensor names may hold colons ("input:0").
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace bench_ort {

struct Input {
  std::string name;
  bool is_f32 = true;
  std::vector<int64_t> shape;
  std::vector<char> bytes;  // the file's contents, 4 or 8 bytes a value

  uint64_t count() const { return bytes.size() / (is_f32 ? 4 : 8); }
};

// Reads one argument and its file; false (with a message) when it is
// malformed, the file is unreadable or its size does not match the shape.
inline bool read_input(const std::string& arg, Input* out) {
  const size_t c3 = arg.rfind(':');
  const size_t c2 = c3 == std::string::npos || c3 == 0 ? std::string::npos : arg.rfind(':', c3 - 1);
  const size_t c1 = c2 == std::string::npos || c2 == 0 ? std::string::npos : arg.rfind(':', c2 - 1);
  if (c1 == std::string::npos) {
    std::fprintf(stderr, "bad input %s (NAME:DTYPE:SHAPE:FILE)\n", arg.c_str());
    return false;
  }
  out->name = arg.substr(0, c1);
  const std::string dtype = arg.substr(c1 + 1, c2 - c1 - 1);
  const std::string shape = arg.substr(c2 + 1, c3 - c2 - 1);
  if (dtype != "f32" && dtype != "i64") {
    std::fprintf(stderr, "bad input type %s in %s\n", dtype.c_str(), arg.c_str());
    return false;
  }
  out->is_f32 = dtype == "f32";
  uint64_t elements = 1;
  out->shape.clear();
  for (size_t at = 0; at <= shape.size();) {
    size_t end = shape.find('x', at);
    if (end == std::string::npos) end = shape.size();
    const int64_t d = std::strtoll(shape.substr(at, end - at).c_str(), nullptr, 10);
    if (d < 0 || end == at) {
      std::fprintf(stderr, "bad shape %s in %s\n", shape.c_str(), arg.c_str());
      return false;
    }
    out->shape.push_back(d);
    elements *= static_cast<uint64_t>(d);
    at = end + 1;
  }
  std::ifstream in(arg.substr(c3 + 1), std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", arg.substr(c3 + 1).c_str());
    return false;
  }
  out->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (out->bytes.size() != elements * (out->is_f32 ? 4 : 8)) {
    std::fprintf(stderr, "%s: %zu bytes for shape %s\n", arg.c_str(), out->bytes.size(), shape.c_str());
    return false;
  }
  return true;
}

inline double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Three untimed runs, then runs timed one by one for about `seconds` (at
// least 10, at most 500). An empty answer means a run failed.
inline std::vector<double> time_runs(double seconds, const std::function<bool()>& run) {
  for (int i = 0; i < 3; ++i)
    if (!run()) return {};
  std::vector<double> times;
  const double start = now_ms();
  while (times.size() < 500 && (times.size() < 10 || now_ms() - start < seconds * 1e3)) {
    const double t0 = now_ms();
    if (!run()) return {};
    times.push_back(now_ms() - t0);
  }
  return times;
}

// A text as a JSON string (the names of tensors).
inline std::string json_text(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The figures line both drivers print last:
//   {"median_ms": M, "min_ms": m, "runs": n, "outputs": [names]}
// outputs lists the tensors written to PREFIX<i>.bin, in that order.
inline void print_figures(const std::vector<double>& times, const std::vector<std::string>& outputs) {
  std::string names;
  for (const std::string& n : outputs) names += (names.empty() ? "" : ", ") + json_text(n);
  std::printf("{\"median_ms\": %.4f, \"min_ms\": %.4f, \"runs\": %zu, \"outputs\": [%s]}\n", median(times),
              *std::min_element(times.begin(), times.end()), times.size(), names.c_str());
}

inline bool write_file(const std::string& path, const void* data, size_t bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, bytes, f) == bytes;
  return std::fclose(f) == 0 && ok;
}

}  // namespace bench_ort
