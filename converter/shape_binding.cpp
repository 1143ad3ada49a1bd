#include "converter/shape_binding.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "container/records.h"
#include "converter/conversion_notes.h"
#include "converter/onnx_tensor.h"
#include "converter/protobuf_wire.h"

namespace vorn {

namespace {

ByteString owned_text(const std::string& t) { return bytes_from_slice(t.data(), t.size()); }
UnitResult fail_text(const std::string& t) { return UnitResult::failure(owned_text(t)); }

std::string span(const uint8_t* p, uint64_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

bool read_dim(const uint8_t* b, uint64_t start, uint64_t end, OnnxValueInfo* out) {
  if (out->rank >= kBuilderRank) return false;
  uint64_t k = out->rank++;
  uint64_t pos = start;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) return true;
    if (st == PbStep::kBad) return false;
    if (f.number == 1 && f.wire == kWireVarint) out->dims[k] = f.value;
    if (f.number == 2 && f.wire == kWireLen) {
      out->dim_param_offset[k] = f.start;
      out->dim_param_length[k] = f.end - f.start;
    }
  }
}

// Scans [start, end), calling fn(field) for each field; false when a field
// is malformed or fn refuses.
template <class Fn>
bool scan(const uint8_t* b, uint64_t start, uint64_t end, Fn fn) {
  uint64_t pos = start;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) return true;
    if (st == PbStep::kBad || !fn(f)) return false;
  }
}

const char* elem_type_name(uint64_t t) {
  switch (t) {
    case 0: return "undefined";
    case 2: return "uint8";
    case 3: return "int8";
    case 6: return "int32";
    case 9: return "bool";
    case 10: return "float16";
    case 11: return "float64";
    case 16: return "bfloat16";
    default: return "other";
  }
}

bool parse_positive(const char* p, uint64_t n, uint64_t* out) {
  if (n == 0) return false;
  uint64_t v = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    uint64_t d = static_cast<uint64_t>(p[i] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  if (v == 0) return false;
  *out = v;
  return true;
}

DimBinding* find_dim(ConvertOptions& o, const uint8_t* name, uint64_t len) {
  for (uint64_t i = 0; i < o.dim_count && i < kMaxDimBindings; ++i)
    if (bytes_equal(reinterpret_cast<const uint8_t*>(o.dims[i].name), o.dims[i].name_length, name, len))
      return &o.dims[i];
  return nullptr;
}

struct GraphInput {
  uint64_t start, end;
};

}  // namespace

bool onnx_read_value_info(const uint8_t* b, uint64_t start, uint64_t end, OnnxValueInfo* out) {
  std::memset(out, 0, sizeof *out);
  out->name = b;
  return scan(b, start, end, [&](const PbField& f) {
    if (f.number == 1 && f.wire == kWireLen) {
      out->name = b + f.start;
      out->name_len = f.end - f.start;
    } else if (f.number == 2 && f.wire == kWireLen) {
      return scan(b, f.start, f.end, [&](const PbField& tt) {  // TypeProto
        if (tt.number != 1 || tt.wire != kWireLen) return true;
        return scan(b, tt.start, tt.end, [&](const PbField& t) {  // tensor_type
          if (t.number == 1 && t.wire == kWireVarint) out->elem_type = t.value;
          if (t.number == 2 && t.wire == kWireLen) {
            out->has_shape = 1;
            return scan(b, t.start, t.end, [&](const PbField& d) {
              if (d.number == 1 && d.wire == kWireLen) return read_dim(b, d.start, d.end, out);
              return true;
            });
          }
          return true;
        });
      });
    }
    return true;
  });
}

ConvertOptions convert_options_init() {
  ConvertOptions o;
  std::memset(&o, 0, sizeof o);
  return o;
}

int64_t options_find_input(const ConvertOptions& o, const uint8_t* name, uint64_t len) {
  for (uint64_t i = 0; i < o.input_count && i < kMaxInputSpecs; ++i)
    if (bytes_equal(reinterpret_cast<const uint8_t*>(o.inputs[i].name), o.inputs[i].name_length, name, len))
      return static_cast<int64_t>(i);
  return -1;
}

UnitResult convert_options_add_input(ConvertOptions* o, const char* arg, uint64_t len) {
  std::string a(arg, len);
  const void* eq_p = len != 0 ? std::memchr(arg, '=', len) : nullptr;
  uint64_t eq = eq_p ? static_cast<uint64_t>(static_cast<const char*>(eq_p) - arg) : len;
  if (eq_p == nullptr || eq == 0 || eq > 127)
    return fail_text("--input " + a + ": expected name=<d0>x<d1>...[:f32|:i64]");
  if (o->input_count >= kMaxInputSpecs) return fail_text("--input: at most 16 inputs");
  uint64_t kind = 0, dims_end = len;
  const void* colon = std::memchr(arg + eq + 1, ':', len - eq - 1);
  if (colon != nullptr) {
    dims_end = static_cast<uint64_t>(static_cast<const char*>(colon) - arg);
    std::string type(arg + dims_end + 1, len - dims_end - 1);
    if (type == "f32")
      kind = kElemF32;
    else if (type == "i64")
      kind = kElemI64;
    else
      return fail_text("--input " + a + ": type must be :f32 or :i64");
  }
  InputSpec spec;
  std::memset(&spec, 0, sizeof spec);
  const char* dims_msg = ": dims must be positive integers joined by 'x', at most 6";
  uint64_t p = eq + 1;
  if (p >= dims_end) return fail_text("--input " + a + dims_msg);
  for (;;) {
    const void* x = std::memchr(arg + p, 'x', dims_end - p);
    uint64_t stop = x ? static_cast<uint64_t>(static_cast<const char*>(x) - arg) : dims_end;
    uint64_t d;
    if (spec.rank >= kBuilderRank || !parse_positive(arg + p, stop - p, &d))
      return fail_text("--input " + a + dims_msg);
    spec.dims[spec.rank++] = d;
    if (x == nullptr) break;
    p = stop + 1;
  }
  if (options_find_input(*o, reinterpret_cast<const uint8_t*>(arg), eq) >= 0)
    return fail_text("--input " + a + ": input given twice");
  std::memcpy(spec.name, arg, eq);
  spec.name_length = eq;
  spec.kind = kind;
  o->inputs[o->input_count++] = spec;
  return UnitResult::success(true);
}

UnitResult convert_options_add_dim(ConvertOptions* o, const char* arg, uint64_t len) {
  std::string a(arg, len);
  const void* eq_p = len != 0 ? std::memchr(arg, '=', len) : nullptr;
  uint64_t eq = eq_p ? static_cast<uint64_t>(static_cast<const char*>(eq_p) - arg) : len;
  uint64_t value = 0;
  if (eq_p == nullptr || eq == 0 || eq > 127 || !parse_positive(arg + eq + 1, len - eq - 1, &value))
    return fail_text("--dim " + a + ": expected name=<positive integer>");
  if (find_dim(*o, reinterpret_cast<const uint8_t*>(arg), eq) != nullptr)
    return fail_text("--dim " + a + ": dim given twice");
  if (o->dim_count >= kMaxDimBindings) return fail_text("--dim: at most 32 dims");
  DimBinding& d = o->dims[o->dim_count++];
  std::memset(&d, 0, sizeof d);
  std::memcpy(d.name, arg, eq);
  d.name_length = eq;
  d.value = value;
  return UnitResult::success(true);
}

BindOutcome bind_input_shapes(BuilderState& s, const uint8_t* b, uint64_t start, uint64_t end) {
  BindOutcome out{0, bytes_new()};
  ConvertOptions& o = *s.options;
  // Collect the graph inputs that are not initializers.
  std::string names;
  std::string problems;
  uint64_t problem_count = 0;
  auto problem = [&](const std::string& line) {
    problems += line;
    ++problem_count;
  };
  auto fail = [&](const char* text) {
    bytes_free(&out.text);
    out.status = 1;
    out.text = bytes_from_slice(text, std::strlen(text));
    return out;
  };
  for (int pass = 1; pass <= 2; ++pass) {
    uint64_t pos = start;
    PbField f;
    for (;;) {
      PbStep st = pb_next(b, end, pos, f);
      if (st == PbStep::kEnd) break;
      if (st == PbStep::kBad) return fail("corrupt GraphProto");
      if (f.number != 11 || f.wire != kWireLen) continue;
      OnnxValueInfo vi;
      if (!onnx_read_value_info(b, f.start, f.end, &vi))
        return fail("failed parsing input ValueInfoProto (rank above 6?)");
      uint64_t existing = builder_find_value(s, vi.name, vi.name_len);
      if (existing != kNoValue && s.values[existing].kind == kValueWeight) continue;
      std::string name = span(vi.name, vi.name_len);
      int64_t si = options_find_input(o, vi.name, vi.name_len);
      InputSpec* spec = si >= 0 ? &o.inputs[si] : nullptr;
      if (pass == 1) {
        if (!names.empty()) names += ", ";
        names += name;
        if (spec == nullptr) continue;
        spec->used = 1;
        if (vi.has_shape && vi.rank != spec->rank) {
          problem("  input '" + name + "': the model has rank " + std::to_string(vi.rank) +
                  ", --input gives rank " + std::to_string(spec->rank) + "\n");
          continue;
        }
        for (uint64_t d = 0; d < vi.rank; ++d) {
          uint64_t sd = spec->dims[d];
          if (vi.dims[d] != 0) {
            if (vi.dims[d] != sd)
              problem("  input '" + name + "' dim " + std::to_string(d) + ": fixed at " +
                      std::to_string(vi.dims[d]) + " in the model, --input gives " + std::to_string(sd) + "\n");
            continue;
          }
          uint64_t pl = vi.dim_param_length[d];
          if (pl == 0) continue;
          const uint8_t* param = b + vi.dim_param_offset[d];
          if (DimBinding* db = find_dim(o, param, pl)) {
            if (db->value != sd)
              problem("  dim '" + span(param, pl) + "': bound to " + std::to_string(db->value) +
                      ", but --input " + name + " gives " + std::to_string(sd) + " at dim " +
                      std::to_string(d) + "\n");
          } else if (pl <= 127 && o.dim_count < kMaxDimBindings) {
            DimBinding& nb = o.dims[o.dim_count++];
            std::memset(&nb, 0, sizeof nb);
            std::memcpy(nb.name, param, pl);
            nb.name_length = pl;
            nb.value = sd;
            nb.used = 1;
          }
        }
        continue;
      }
      // Pass 2: bind.
      uint64_t rank = 0, dims[kBuilderRank] = {};
      bool bad = false;
      if (spec != nullptr) {
        rank = spec->rank;
        std::memcpy(dims, spec->dims, sizeof dims);
      } else if (!vi.has_shape) {
        problem("  input '" + name + "': the model gives no shape; bind it with --input " + name + "=<dims>\n");
        bad = true;
      } else {
        rank = vi.rank;
        for (uint64_t d = 0; d < rank; ++d) {
          uint64_t pl = vi.dim_param_length[d];
          const uint8_t* param = b + vi.dim_param_offset[d];
          DimBinding* db = pl != 0 ? find_dim(o, param, pl) : nullptr;
          if (vi.dims[d] != 0) {
            dims[d] = vi.dims[d];
          } else if (db != nullptr) {
            dims[d] = db->value;
            db->used = 1;
          } else if (d == 0 && rank >= 2) {
            dims[d] = 1;
            convert_notes_add_batch_name(vi.name, vi.name_len);
          } else if (pl == 0) {
            problem("  input '" + name + "' dim " + std::to_string(d) +
                    " (unnamed) is dynamic: bind it with --input " + name + "=<dims>\n");
            bad = true;
          } else {
            problem("  input '" + name + "' dim " + std::to_string(d) + " ('" + span(param, pl) +
                    "') is dynamic: bind it with --dim " + span(param, pl) + "=<n> or --input " + name +
                    "=<dims>\n");
            bad = true;
          }
        }
      }
      uint64_t kind;
      if (vi.elem_type == 1) {
        kind = kElemF32;
      } else if (vi.elem_type == 7) {
        kind = kElemI64;
      } else {
        problem("  input '" + name + "': element type " + elem_type_name(vi.elem_type) +
                " is not supported; Vorn inputs are float32 or int64\n");
        continue;
      }
      if (spec != nullptr && spec->kind != 0 && spec->kind != kind) {
        problem("  input '" + name + "': the model declares " + (kind == kElemF32 ? "float32" : "int64") +
                ", --input asks for " + (spec->kind == kElemF32 ? "f32" : "i64") + "\n");
        continue;
      }
      if (bad) continue;
      if (kind == kElemI64 && s.int64_input_count >= kMaxInt64Inputs) {
        problem("  input '" + name + "': more than 16 int64 inputs\n");
        continue;
      }
      uint64_t vi_index = builder_intern_value(s, vi.name, vi.name_len);
      if (vi_index == kNoValue) return fail("the model is larger than the converter's limits (16384 nodes, 32768 values)");
      BuilderValue& v = s.values[vi_index];
      v.kind = kValueGraphInput;
      v.elem = kElemF32;
      v.rank = rank;
      std::memcpy(v.dims, dims, sizeof dims);
      if (kind == kElemI64) s.int64_inputs[s.int64_input_count++] = vi_index;
    }
  }
  for (uint64_t i = 0; i < o.input_count && i < kMaxInputSpecs; ++i)
    if (!o.inputs[i].used)
      problem("  --input " + std::string(o.inputs[i].name, o.inputs[i].name_length) +
              ": the model has no input of that name (inputs: " + names + ")\n");
  for (uint64_t i = 0; i < o.dim_count && i < kMaxDimBindings; ++i)
    if (!o.dims[i].used)
      problem("  --dim " + std::string(o.dims[i].name, o.dims[i].name_length) +
              ": no input has a dimension of that name\n");
  if (problem_count != 0) {
    out.status = 1;
    out.text = owned_text(std::to_string(problem_count) + " input binding problem(s):\n" + problems);
  }
  return out;
}

namespace {

bool import_with_options(BuilderState& s, const OnnxValueInfo& vi, uint32_t is_output) {
  if (vi.name_len == 0) return true;
  uint64_t i = builder_intern_value(s, vi.name, vi.name_len);
  if (i == kNoValue) return false;
  BuilderValue& v = s.values[i];
  if (!is_output) return v.kind == kValueGraphInput || v.kind == kValueWeight;
  if (v.kind == kValueGraphInput || v.kind == kValueWeight) return true;
  v.kind = kValueGraphOutput;
  v.rank = vi.rank;
  for (uint64_t d = 0; d < kBuilderRank; ++d) {
    uint64_t dim = 0;
    if (d < vi.rank) {
      dim = vi.dims[d];
      if (dim == 0 && vi.dim_param_length[d] != 0) {
        if (DimBinding* db = find_dim(*s.options, s.onnx + vi.dim_param_offset[d], vi.dim_param_length[d]))
          dim = db->value;
      }
    }
    v.dims[d] = dim;
  }
  return true;
}

bool in_list(const OnnxValueInfo& vi, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (text_equal(vi.name, vi.name_len, n)) return true;
  return false;
}

// A weight of `count` floats made by the legacy name rewrites.
bool bake_weight(BuilderValue& v, uint64_t rank, std::initializer_list<uint64_t> dims, const float* fill,
                 uint64_t count) {
  auto* p = static_cast<float*>(std::malloc(count * 4));
  if (p == nullptr) return false;
  std::memcpy(p, fill, count * 4);
  builder_drop_data(v);
  v.kind = kValueWeight;
  v.elem = kElemF32;
  v.rank = rank;
  std::memset(v.dims, 0, sizeof v.dims);
  uint64_t k = 0;
  for (uint64_t d : dims) v.dims[k++] = d;
  v.data = reinterpret_cast<uint8_t*>(p);
  v.size = count * 4;
  v.owned = 1;
  return true;
}

bool import_legacy(BuilderState& s, const OnnxValueInfo& vi, uint32_t is_output, uint64_t word) {
  uint64_t batch = word >> 32;
  if (batch == 0) batch = 1;
  uint64_t low = word & 0xFFFFFFFFu, h, w;
  if ((low >> 16) != 0) {
    h = low >> 16;
    w = low & 0xFFFF;
  } else {
    h = w = low;
  }
  if (vi.name_len == 0) return true;
  uint64_t i = builder_find_value(s, vi.name, vi.name_len);
  if (i != kNoValue && s.values[i].kind == kValueWeight) return true;
  if (i == kNoValue) i = builder_append_value(s, vi.name, vi.name_len);
  if (i == kNoValue) return false;
  BuilderValue& v = s.values[i];
  ConvertNotes& notes = convert_notes();
  if (!is_output) {
    if (in_list(vi, {"im_shape", "mask_input", "has_mask_input", "point_labels", "orig_im_size", "scale_factor"})) {
      notes.rewrites |= kRewriteDroppedByName;
      return true;
    }
    if (in_list(vi, {"attention_mask"})) {
      notes.rewrites |= kRewriteDroppedByName;
      uint64_t n = h == 0 ? 77 : h;
      float* ones = static_cast<float*>(std::malloc(n * 4));
      if (ones == nullptr) return true;
      for (uint64_t k = 0; k < n; ++k) ones[k] = 1.0f;
      bake_weight(v, 2, {1, n}, ones, n);
      std::free(ones);
      return true;
    }
    if (in_list(vi, {"point_coords"})) {
      notes.rewrites |= kRewriteDroppedByName;
      float xy[2];
      xy[0] = (h == 0 || h == 64) ? 600.0f : static_cast<float>(h);
      xy[1] = (w == 0 || h == 0 || h == 64) ? 350.0f : static_cast<float>(w);
      bake_weight(v, 3, {1, 1, 2}, xy, 2);
      return true;
    }
    if (in_list(vi, {"input_image"}) && vi.rank == 3) {
      v.kind = kValueGraphInput;
      v.elem = kElemF32;
      v.rank = 4;
      const uint64_t d[6] = {1, 3, 1024, 1024, 0, 0};
      std::memcpy(v.dims, d, sizeof d);
      s.sam_image = i + 800000;
      s.rewrite_state = s.sam_image;
      s.sam_embedding = 1024;
      notes.rewrites |= kRewriteSam;
      return true;
    }
    if (in_list(vi, {"image_embeddings"})) {
      s.sam_embedding = i + 500000;
      notes.rewrites |= kRewriteSam;
    }
    v.kind = kValueGraphInput;
  } else {
    if (in_list(vi, {"fetch_name_1", "fetch_name_2", "low_res_masks", "last_hidden_state"})) {
      notes.rewrites |= kRewriteDroppedByName;
      return true;
    }
    v.kind = kValueGraphOutput;
  }
  if (vi.rank >= 1) {
    v.rank = vi.rank;
    for (uint64_t d = 0; d < kBuilderRank; ++d) {
      uint64_t dim = d < vi.rank ? vi.dims[d] : 0;
      if (d < vi.rank && dim == 0) {
        if (d == 0) dim = batch;
        else if (d == 1) dim = vi.rank == 4 ? 3 : h;
        else if (d == 3) dim = vi.rank == 4 ? w : h;
        else dim = h;
      }
      v.dims[d] = dim;
    }
  }
  return true;
}

}  // namespace

bool onnx_import_graph_io(BuilderState& s, const uint8_t* b, uint64_t start, uint64_t end, uint32_t is_output,
                          uint64_t option_word) {
  OnnxValueInfo vi;
  if (!onnx_read_value_info(b, start, end, &vi)) return false;
  if (s.options != nullptr) return import_with_options(s, vi, is_output);
  return import_legacy(s, vi, is_output, option_word);
}

ByteString shape_text(uint64_t rank, const uint64_t* dims) {
  std::string t = "[";
  for (uint64_t i = 0; i < rank && i < kBuilderRank; ++i) {
    if (i) t += ", ";
    t += std::to_string(dims[i]);
  }
  t += "]";
  return owned_text(t);
}

}  // namespace vorn
