#include "conformance/graph_rewrite.h"

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

namespace vorn::conformance {
namespace {

struct Field {
  uint64_t number = 0;
  uint32_t wire = 0;
  std::string bytes;    // the whole field, tag included
  std::string payload;  // the length-delimited contents
};

bool varint(const std::string& b, size_t& pos, uint64_t* out) {
  uint64_t v = 0;
  for (unsigned shift = 0; pos < b.size() && shift < 64; shift += 7) {
    uint8_t c = static_cast<uint8_t>(b[pos++]);
    v |= uint64_t(c & 0x7F) << shift;
    if ((c & 0x80) == 0) return *out = v, true;
  }
  return false;
}

void put_varint(std::string& b, uint64_t v) {
  do {
    uint8_t c = v & 0x7F;
    v >>= 7;
    b.push_back(static_cast<char>(v ? c | 0x80 : c));
  } while (v);
}

bool fields(const std::string& b, std::vector<Field>* out) {
  size_t pos = 0;
  while (pos < b.size()) {
    const size_t start = pos;
    uint64_t tag, value;
    if (!varint(b, pos, &tag)) return false;
    Field f;
    f.number = tag >> 3;
    f.wire = static_cast<uint32_t>(tag & 7);
    if (f.wire == 0) {
      if (!varint(b, pos, &value)) return false;
    } else if (f.wire == 1 || f.wire == 5) {
      pos += f.wire == 1 ? 8 : 4;
    } else if (f.wire == 2) {
      if (!varint(b, pos, &value) || value > b.size() - pos) return false;
      f.payload = b.substr(pos, value);
      pos += value;
    } else {
      return false;
    }
    if (pos > b.size()) return false;
    f.bytes = b.substr(start, pos - start);
    out->push_back(std::move(f));
  }
  return true;
}

std::string message(uint64_t number, const std::string& payload) {
  std::string b;
  put_varint(b, number << 3 | 2);
  put_varint(b, payload.size());
  return b + payload;
}

// Applies edit to the list of NodeProto payloads of the model's graph.
std::string edit_nodes(const std::string& model, const std::function<void(std::vector<std::string>&)>& edit) {
  std::vector<Field> top;
  if (!fields(model, &top)) return std::string();
  std::string out;
  for (const Field& f : top) {
    if (f.number != 7 || f.wire != 2) {
      out += f.bytes;
      continue;
    }
    std::vector<Field> graph;
    if (!fields(f.payload, &graph)) return std::string();
    std::vector<std::string> nodes;
    std::string rest;
    for (const Field& g : graph) {
      if (g.number == 1 && g.wire == 2) nodes.push_back(g.payload);
      else rest += g.bytes;
    }
    edit(nodes);
    std::string body;
    for (const std::string& n : nodes) body += message(1, n);
    out += message(7, body + rest);
  }
  return out;
}

}  // namespace

std::string strip_node_names(const std::string& model) {
  bool ok = true;
  std::string out = edit_nodes(model, [&](std::vector<std::string>& nodes) {
    for (std::string& n : nodes) {
      std::vector<Field> parts;
      ok = ok && fields(n, &parts);
      std::string kept;
      for (const Field& p : parts)
        if (p.number != 3) kept += p.bytes;
      n = kept;
    }
  });
  return ok ? out : std::string();
}

std::string shuffle_nodes(const std::string& model, uint32_t seed) {
  return edit_nodes(model, [&](std::vector<std::string>& nodes) {
    std::mt19937 rng(seed);
    for (size_t i = nodes.size(); i > 1; --i) std::swap(nodes[i - 1], nodes[rng() % i]);
  });
}

}  // namespace vorn::conformance
