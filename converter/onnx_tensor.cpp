#include "converter/onnx_tensor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/records.h"
#include "converter/protobuf_wire.h"
#include "platform/half.h"

namespace vorn {

namespace {

constexpr uint64_t kTensorTableFull = 10;

// A malloc block freed unless released.
struct Owned {
  uint8_t* p = nullptr;
  uint64_t count = 0;  // entries in use
  uint64_t cap = 0;    // entries allocated
  ~Owned() { std::free(p); }
  bool reserve(uint64_t entries, uint64_t width) {
    if (p != nullptr) return true;
    if (entries == 0) entries = 1;
    if (entries > UINT64_MAX / 8 / width) return false;
    p = static_cast<uint8_t*>(std::malloc(entries * width));
    cap = entries;
    return p != nullptr;
  }
  uint8_t* release() {
    uint8_t* r = p;
    p = nullptr;
    return r;
  }
};

struct TensorParse {
  uint64_t rank = 0;
  uint64_t dims[kBuilderRank] = {};
  bool dims_beyond_six = false;  // a dim past the sixth that is not 1
  uint64_t data_type = kOnnxFloat;
  uint64_t name_off = 0, name_len = 0;
  bool has_raw = false;
  uint64_t raw_off = 0, raw_len = 0;
  // One packed float_data run used in place; further floats are gathered.
  bool float_span = false;
  uint64_t float_off = 0, float_len = 0;
  Owned floats, ints, doubles;
  bool external = false, ext_has_length = false;
  uint64_t ext_offset = 0, ext_length = 0;
  uint64_t loc_off = 0, loc_len = 0;
};

uint64_t decimal_saturating(const uint8_t* p, uint64_t n) {
  uint64_t v = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') continue;
    uint64_t d = p[i] - '0';
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  return v;
}

bool push_int(Owned& o, uint64_t v, uint64_t msg_len) {
  if (!o.reserve(msg_len, 8)) return false;
  if (o.count >= o.cap) return false;
  std::memcpy(o.p + o.count * 8, &v, 8);
  ++o.count;
  return true;
}

// Gathers a varint field, either one value or a packed run.
bool gather_varints(Owned& o, const uint8_t* b, const PbField& f, uint64_t msg_len, bool sign32) {
  auto put = [&](uint64_t v) {
    if (sign32) v = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v)));
    return push_int(o, v, msg_len);
  };
  if (f.wire == kWireVarint) return put(f.value);
  if (f.wire != kWireLen) return true;  // another wire type: skipped
  uint64_t pos = f.start;
  while (pos < f.end)
    if (!put(pb_read_varint(b, f.end, pos))) return false;
  return true;
}

bool gather_fixed(Owned& o, const uint8_t* src, uint64_t n, uint64_t width, uint64_t msg_len) {
  if (!o.reserve(msg_len / width + 1, width)) return false;
  if (n / width > o.cap - o.count) return false;
  std::memcpy(o.p + o.count * width, src, n / width * width);
  o.count += n / width;
  return true;
}

void read_external_entry(TensorParse& t, const uint8_t* b, uint64_t start, uint64_t end) {
  uint64_t pos = start, key_off = 0, key_len = 0, val_off = 0, val_len = 0;
  PbField f;
  while (pb_next(b, end, pos, f) == PbStep::kField) {
    if (f.wire != kWireLen) continue;
    if (f.number == 1) key_off = f.start, key_len = f.end - f.start;
    if (f.number == 2) val_off = f.start, val_len = f.end - f.start;
  }
  if (text_equal(b + key_off, key_len, "offset")) {
    t.external = true;
    t.ext_offset = decimal_saturating(b + val_off, val_len);
  } else if (text_equal(b + key_off, key_len, "length")) {
    t.external = true;
    t.ext_has_length = true;
    t.ext_length = decimal_saturating(b + val_off, val_len);
  } else if (text_equal(b + key_off, key_len, "location")) {
    t.external = true;  // offset 0 and the rest of the file unless given
    t.loc_off = val_off;
    t.loc_len = val_len;
  }
}

bool parse(TensorParse& t, const uint8_t* b, uint64_t start, uint64_t end) {
  uint64_t pos = start, msg_len = end - start;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) return true;
    if (st == PbStep::kBad) return false;
    switch (f.number) {
      case 1: {  // dims
        auto add_dim = [&](uint64_t d) {
          if (t.rank < kBuilderRank)
            t.dims[t.rank++] = d;
          else if (d != 1)
            t.dims_beyond_six = true;
        };
        if (f.wire == kWireVarint) add_dim(f.value);
        if (f.wire == kWireLen)
          for (uint64_t p = f.start; p < f.end;) add_dim(pb_read_varint(b, f.end, p));
        break;
      }
      case 2:
        if (f.wire == kWireVarint) t.data_type = f.value;
        break;
      case 4:  // float_data
        if (f.wire == kWireLen) {
          uint64_t n = f.end - f.start;
          if (n % 4 != 0) return false;
          if (!t.float_span && t.floats.count == 0) {
            t.float_span = true;
            t.float_off = f.start;
            t.float_len = n;
          } else {
            if (t.float_span) {
              if (!gather_fixed(t.floats, b + t.float_off, t.float_len, 4, msg_len)) return false;
              t.float_span = false;
            }
            if (!gather_fixed(t.floats, b + f.start, n, 4, msg_len)) return false;
          }
        } else if (f.wire == kWireFixed32) {
          if (t.float_span) {
            if (!gather_fixed(t.floats, b + t.float_off, t.float_len, 4, msg_len)) return false;
            t.float_span = false;
          }
          uint32_t bits = static_cast<uint32_t>(f.value);
          if (!gather_fixed(t.floats, reinterpret_cast<const uint8_t*>(&bits), 4, 4, msg_len))
            return false;
        }
        break;
      case 5:  // int32_data (also 8- and 16-bit types)
        if (!gather_varints(t.ints, b, f, msg_len, true)) return false;
        break;
      case 7:   // int64_data
      case 11:  // uint64_data
        if (!gather_varints(t.ints, b, f, msg_len, false)) return false;
        break;
      case 8:
        if (f.wire == kWireLen) t.name_off = f.start, t.name_len = f.end - f.start;
        break;
      case 9:
        if (f.wire == kWireLen) t.has_raw = true, t.raw_off = f.start, t.raw_len = f.end - f.start;
        break;
      case 10:  // double_data
        if (f.wire == kWireLen) {
          if ((f.end - f.start) % 8 != 0) return false;
          if (!gather_fixed(t.doubles, b + f.start, f.end - f.start, 8, msg_len)) return false;
        } else if (f.wire == kWireFixed64) {
          if (!gather_fixed(t.doubles, reinterpret_cast<const uint8_t*>(&f.value), 8, 8, msg_len))
            return false;
        }
        break;
      case 13:
        if (f.wire == kWireLen) read_external_entry(t, b, f.start, f.end);
        break;
      case 14:  // data_location: 1 EXTERNAL
        if (f.wire == kWireVarint && f.value == 1) t.external = true;
        break;
      default:
        break;
    }
  }
}

// Size in bytes of one stored element of a data type; 0 when unsupported.
uint64_t stored_width(uint64_t type) {
  switch (type) {
    case kOnnxUint8: case kOnnxInt8: case kOnnxBool: return 1;
    case kOnnxUint16: case kOnnxInt16: case kOnnxFloat16: case kOnnxBfloat16: return 2;
    case kOnnxFloat: case kOnnxInt32: case kOnnxUint32: return 4;
    case kOnnxInt64: case kOnnxUint64: case kOnnxDouble: return 8;
    default: return 0;
  }
}

float bf16_to_float(uint16_t h) {
  uint32_t bits = uint32_t(h) << 16;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Element i of n stored elements (each `width` bytes apart in src, reading
// the low bytes of each) widened to f32.
float small_to_f32(uint64_t type, const uint8_t* src) {
  switch (type) {
    case kOnnxUint8: case kOnnxBool: return static_cast<float>(src[0]);
    case kOnnxInt8: return static_cast<float>(static_cast<int8_t>(src[0]));
    case kOnnxUint16: { uint16_t v; std::memcpy(&v, src, 2); return static_cast<float>(v); }
    case kOnnxInt16: { int16_t v; std::memcpy(&v, src, 2); return static_cast<float>(v); }
    case kOnnxFloat16: { uint16_t v; std::memcpy(&v, src, 2); return half_to_float(v); }
    case kOnnxBfloat16: { uint16_t v; std::memcpy(&v, src, 2); return bf16_to_float(v); }
    case kOnnxDouble: { double v; std::memcpy(&v, src, 8); return static_cast<float>(v); }
    default: return 0.0f;
  }
}

struct Converted {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  bool owned = false;
  uint64_t error = 0;
};

// Converts n elements laid out `step` bytes apart (the stored width for raw
// bytes, 8 for gathered integer entries) into the value's f32 or i64 form.
// When in_place_ok the source outlives the state and may be used as is.
Converted convert(uint64_t type, const uint8_t* src, uint64_t n, uint64_t step, bool in_place_ok,
                  uint8_t* reuse) {
  Converted c;
  uint64_t kind = onnx_elem_kind(type);
  uint64_t out_width = kind == kElemI64 ? 8 : 4;
  bool native = (type == kOnnxFloat && step == 4) || ((type == kOnnxInt64 || type == kOnnxUint64) && step == 8);
  if (type == kOnnxUint64) {
    for (uint64_t i = 0; i < n; ++i)
      if (load_le64(src + i * step) > uint64_t(INT64_MAX)) return Converted{nullptr, 0, false, kTensorValueRange};
  }
  if (native && (in_place_ok || reuse == src)) {
    c.data = src;
    c.size = n * out_width;
    c.owned = reuse == src;
    return c;
  }
  uint8_t* out = reuse;
  if (out == nullptr) {
    if (n > UINT64_MAX / 16) return Converted{nullptr, 0, false, kTensorOutOfMemory};
    out = static_cast<uint8_t*>(std::malloc(n == 0 ? out_width : n * out_width));
    if (out == nullptr) return Converted{nullptr, 0, false, kTensorOutOfMemory};
  }
  // Forward order keeps an in-place narrowing (8-byte entries to 4-byte
  // floats in the same buffer) from overwriting entries not yet read.
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t* e = src + i * step;
    if (kind == kElemI64) {
      int64_t v;
      if (type == kOnnxInt32 && step == 4) {
        int32_t x;
        std::memcpy(&x, e, 4);
        v = x;
      } else if (type == kOnnxUint32 && step == 4) {
        v = load_le32(e);
      } else {
        std::memcpy(&v, e, 8);
      }
      std::memcpy(out + i * 8, &v, 8);
    } else {
      float v;
      if (type == kOnnxFloat)
        std::memcpy(&v, e, 4);
      else
        v = small_to_f32(type, e);
      std::memcpy(out + i * 4, &v, 4);
    }
  }
  c.data = out;
  c.size = n * out_width;
  c.owned = true;
  return c;
}

bool fail(BuilderState& s, const TensorParse& t, uint64_t code) {
  s.tensor_error = code;
  s.tensor_error_type = t.data_type;
  s.tensor_error_name_offset = t.name_off;
  s.tensor_error_name_length = t.name_len;
  return false;
}

}  // namespace

uint64_t onnx_elem_kind(uint64_t type) {
  return (type == kOnnxInt32 || type == kOnnxInt64 || type == kOnnxUint32 || type == kOnnxUint64)
             ? kElemI64
             : kElemF32;
}

bool onnx_read_tensor(BuilderState& s, uint64_t index, uint32_t flags, const uint8_t* b,
                      uint64_t start, uint64_t end) {
  s.tensor_error = 0;
  TensorParse t;
  s.tensor_error_name_offset = s.tensor_error_name_length = 0;
  if (start > end || !parse(t, b, start, end)) return fail(s, t, kTensorMalformed);
  bool by_index = (flags & 1) != 0;
  if (!by_index && t.name_len == 0) return true;  // nameless initializer: nothing to register
  if (t.dims_beyond_six) return fail(s, t, kTensorRankAbove6);

  uint64_t kind = onnx_elem_kind(t.data_type);
  uint64_t rank = t.rank;
  uint64_t dims[kBuilderRank] = {};
  std::memcpy(dims, t.dims, sizeof dims);
  if (rank == 0 && kind != kElemI64) rank = 1, dims[0] = 1;
  uint64_t count = 1;
  for (uint64_t i = 0; i < rank; ++i) {
    if (dims[i] != 0 && count > UINT64_MAX / 8 / dims[i]) return fail(s, t, kTensorSizeMismatch);
    count *= dims[i];
  }

  uint64_t width = stored_width(t.data_type);
  Converted c;
  bool have_data = false;
  if (t.has_raw || t.external) {
    const uint8_t* src;
    uint64_t n;
    bool persistent = true;
    if (t.has_raw) {
      src = b + t.raw_off;
      n = t.raw_len;
      persistent = b == s.onnx;
    } else {
      if (s.external_data == nullptr) return fail(s, t, kTensorNoExternalFile);
      if (t.loc_len != 0 && s.model_name_len != 0) {
        bool same = t.loc_len == s.model_name_len + 5 &&
                    std::memcmp(b + t.loc_off, s.model_name, s.model_name_len) == 0 &&
                    std::memcmp(b + t.loc_off + s.model_name_len, ".data", 5) == 0;
        if (!same) return fail(s, t, kTensorExternalLocation);
      }
      if (t.ext_offset > s.external_size) return fail(s, t, kTensorExternalRange);
      uint64_t len = t.ext_has_length ? t.ext_length : s.external_size - t.ext_offset;
      if (len > s.external_size - t.ext_offset) return fail(s, t, kTensorExternalRange);
      src = s.external_data + t.ext_offset;
      n = len;
    }
    if (width == 0) return fail(s, t, kTensorUnsupportedType);
    if (n % width != 0 || n / width != count) return fail(s, t, kTensorSizeMismatch);
    c = convert(t.data_type, src, count, width, persistent, nullptr);
    have_data = true;
  } else if (t.float_span || t.floats.count != 0 || t.ints.count != 0 || t.doubles.count != 0) {
    if (width == 0) return fail(s, t, kTensorUnsupportedType);
    if (t.data_type == kOnnxFloat) {
      if (t.float_span) {
        if (t.float_len / 4 != count) return fail(s, t, kTensorSizeMismatch);
        c = convert(kOnnxFloat, b + t.float_off, count, 4, b == s.onnx, nullptr);
      } else {
        if (t.floats.count != count) return fail(s, t, kTensorSizeMismatch);
        c = convert(kOnnxFloat, t.floats.p, count, 4, false, t.floats.p);
        if (c.error == 0) t.floats.release();
      }
    } else if (t.data_type == kOnnxDouble) {
      if (t.doubles.count != count) return fail(s, t, kTensorSizeMismatch);
      c = convert(kOnnxDouble, t.doubles.p, count, 8, false, t.doubles.p);
      if (c.error == 0) t.doubles.release();
    } else {
      if (t.ints.count != count) return fail(s, t, kTensorSizeMismatch);
      c = convert(t.data_type, t.ints.p, count, 8, false, t.ints.p);
      if (c.error == 0) t.ints.release();
    }
    have_data = true;
  } else if (count != 0) {
    // A weight without data would be written as zeros: refuse it.
    return fail(s, t, kTensorSizeMismatch);
  }
  if (c.error != 0) return fail(s, t, c.error);
  if (!have_data && width == 0 && t.data_type != 0) return fail(s, t, kTensorUnsupportedType);

  uint64_t vi = index;
  if (!by_index) {
    vi = builder_find_value(s, b + t.name_off, t.name_len);
    if (vi == kNoValue) vi = builder_append_value(s, b + t.name_off, t.name_len);
  }
  if (vi == kNoValue || vi >= s.value_count) {
    if (c.owned) std::free(const_cast<uint8_t*>(c.data));
    return fail(s, t, kTensorTableFull);
  }
  BuilderValue& v = s.values[vi];
  builder_drop_data(v);
  v.kind = kValueWeight;
  v.elem = kind;
  v.rank = rank;
  std::memcpy(v.dims, dims, sizeof dims);
  v.data = c.data;
  v.size = c.size;
  v.owned = c.owned ? 1 : 0;
  s.convert_time[vi] = 0;
  return true;
}

ByteString onnx_tensor_error_text(const BuilderState& s) {
  ByteString out = bytes_new();
  auto add = [&](const char* t) { bytes_append(&out, t, std::strlen(t)); };
  add("failed parsing TensorProto");
  if (s.tensor_error_name_length != 0 && s.onnx != nullptr) {
    add(" '");
    bytes_append(&out, s.onnx + s.tensor_error_name_offset, s.tensor_error_name_length);
    add("'");
  }
  char num[24];
  switch (s.tensor_error) {
    case kTensorUnsupportedType:
      std::snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(s.tensor_error_type));
      add(": data type ");
      add(num);
      add(" is not supported (the converter reads float, float16, bfloat16, double and integer tensors)");
      break;
    case kTensorSizeMismatch: add(": its data does not match its shape"); break;
    case kTensorNoExternalFile:
      add(": its data is stored in an external file, but '<model path>.data' could not be read");
      break;
    case kTensorExternalRange: add(": its external data lies outside the '.data' file"); break;
    case kTensorExternalLocation:
      add(": its external data is in another file (only '<model file>.data' is read)");
      break;
    case kTensorOutOfMemory: add(": out of memory"); break;
    case kTensorRankAbove6: add(": rank above 6"); break;
    case kTensorValueRange: add(": a UINT64 element does not fit in int64"); break;
    case kTensorTableFull: add(": the model is larger than the converter's limits (32768 values)"); break;
    case kTensorMalformed: add(": the message is malformed"); break;
    default: break;
  }
  return out;
}

}  // namespace vorn
