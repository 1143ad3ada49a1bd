// A small protobuf encoder for hand-built ONNX messages in tests: just the
// fields the converter reads, plus whatever malformed bytes a test needs.
#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace onnxw {

struct Msg {
  std::string b;

  Msg& tag(uint64_t num, uint32_t wire) { return varint(num << 3 | wire); }
  Msg& varint(uint64_t v) {
    do {
      uint8_t c = v & 0x7F;
      v >>= 7;
      if (v) c |= 0x80;
      b.push_back(static_cast<char>(c));
    } while (v);
    return *this;
  }
  Msg& u(uint64_t num, uint64_t v) { return tag(num, 0).varint(v); }
  Msg& i(uint64_t num, int64_t v) { return u(num, static_cast<uint64_t>(v)); }
  Msg& s(uint64_t num, const std::string& bytes) {
    tag(num, 2).varint(bytes.size());
    b += bytes;
    return *this;
  }
  Msg& m(uint64_t num, const Msg& sub) { return s(num, sub.b); }
  Msg& f32(uint64_t num, float f) {
    tag(num, 5);
    char c[4];
    std::memcpy(c, &f, 4);
    b.append(c, 4);
    return *this;
  }
  Msg& packed(uint64_t num, std::initializer_list<int64_t> vals) {
    Msg p;
    for (int64_t v : vals) p.varint(static_cast<uint64_t>(v));
    return s(num, p.b);
  }
  Msg& raw(const std::string& bytes) {
    b += bytes;
    return *this;
  }
};

template <class T>
std::string bytes_of(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// TensorProto with raw_data.
inline Msg tensor(const std::string& name, int type, std::initializer_list<int64_t> dims, const std::string& raw) {
  Msg t;
  for (int64_t d : dims) t.i(1, d);
  t.u(2, type).s(8, name).s(9, raw);
  return t;
}

// ValueInfoProto; a dim is a number (> 0), 0 for an unnamed open dim, or a
// name via dim_params at the same position.
inline Msg value_info(const std::string& name, int elem, std::vector<int64_t> dims,
                      std::vector<std::string> params = {}, bool has_shape = true) {
  Msg shape;
  for (size_t k = 0; k < dims.size(); ++k) {
    Msg d;
    if (dims[k] > 0) d.i(1, dims[k]);
    if (k < params.size() && !params[k].empty()) d.s(2, params[k]);
    shape.m(1, d);
  }
  Msg tt;
  tt.u(1, elem);
  if (has_shape) tt.m(2, shape);
  Msg type;
  type.m(1, tt);
  Msg v;
  v.s(1, name).m(2, type);
  return v;
}

inline Msg attr_i(const std::string& n, int64_t v) { return Msg().s(1, n).i(3, v).u(20, 2); }
inline Msg attr_f(const std::string& n, float v) { return Msg().s(1, n).f32(2, v).u(20, 1); }
inline Msg attr_s(const std::string& n, const std::string& v) { return Msg().s(1, n).s(4, v).u(20, 3); }
inline Msg attr_ints(const std::string& n, std::initializer_list<int64_t> v) {
  Msg a;
  a.s(1, n);
  for (int64_t x : v) a.i(8, x);
  return a.u(20, 7);
}
inline Msg attr_t(const std::string& n, const Msg& t) { return Msg().s(1, n).m(5, t).u(20, 4); }

inline Msg node(const std::string& op, std::vector<std::string> in, std::vector<std::string> out,
                const std::string& name = "", std::vector<Msg> attrs = {}, const std::string& domain = "") {
  Msg n;
  for (auto& x : in) n.s(1, x);
  for (auto& x : out) n.s(2, x);
  if (!name.empty()) n.s(3, name);
  n.s(4, op);
  for (auto& a : attrs) n.m(5, a);
  if (!domain.empty()) n.s(7, domain);
  return n;
}

struct Graph {
  std::vector<Msg> nodes, inits, inputs, outputs;
  Msg build() const {
    Msg g;
    for (auto& n : nodes) g.m(1, n);
    g.s(2, "g");
    for (auto& t : inits) g.m(5, t);
    for (auto& v : inputs) g.m(11, v);
    for (auto& v : outputs) g.m(12, v);
    return g;
  }
};

inline Msg opset(const std::string& domain, int64_t version) {
  Msg o;
  if (!domain.empty()) o.s(1, domain);
  return o.i(2, version);
}

inline std::string model(const Graph& g, int64_t opset_version = 17) {
  Msg m;
  m.i(1, 8).s(2, "test").m(8, opset("", opset_version)).m(7, g.build());
  return m.b;
}

}  // namespace onnxw
