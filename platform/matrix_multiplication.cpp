#include "platform/matrix_multiplication.h"

#include <algorithm>
#include <string>

#include "platform/blas.h"
#include "platform/scratch_pool.h"

namespace vorn::mps {

namespace {

// Stored shape of an operand: (rows, columns) as the buffer holds them.
struct Stored {
  uint64_t rows, columns;
};

bool view_fits(const Matrix& m, Stored need, uint64_t last_matrix, const char* what, std::string* error) {
  const MatrixDescriptor& d = m.descriptor;
  const uint64_t elem = data_type_size(d.dataType);
  const uint64_t matrix_bytes = d.matrixBytes != 0 ? d.matrixBytes : d.rows * d.rowBytes;
  auto refuse = [&](const char* why) {
    *error = std::string("matrix product: ") + what + " " + why;
    return false;
  };
  if (m.buffer == nullptr) return refuse("has no buffer");
  if (d.rows < need.rows || d.columns < need.columns) return refuse("is smaller than the product");
  if (d.rowBytes < d.columns * elem || d.rowBytes % elem != 0 || m.offset % elem != 0)
    return refuse("has rows shorter than its columns or misaligned");
  if (last_matrix >= d.matrices) return refuse("has fewer matrices than the batch");
  if (need.rows == 0 || need.columns == 0) return true;
  // Last byte read or written, computed without wrapping.
  uint64_t end = m.offset, t;
  if (__builtin_mul_overflow(last_matrix, matrix_bytes, &t) || __builtin_add_overflow(end, t, &end) ||
      __builtin_mul_overflow(need.rows - 1, d.rowBytes, &t) || __builtin_add_overflow(end, t, &end) ||
      __builtin_add_overflow(end, need.columns * elem, &end) || end > m.buffer->length())
    return refuse("leaves its buffer");
  return true;
}

// A float view of one matrix of an operand: straight into the buffer for
// float32, a widened copy otherwise.
struct Operand {
  const float* data;
  uint64_t ld;
  ScratchLease scratch;
};

Operand operand(const Matrix& m, uint64_t index, Stored s) {
  const MatrixDescriptor& d = m.descriptor;
  const uint64_t matrix_bytes = d.matrixBytes != 0 ? d.matrixBytes : d.rows * d.rowBytes;
  const uint8_t* base = m.buffer->storage() + m.offset + index * matrix_bytes;
  if (d.dataType == DataType::kFloat32) return {reinterpret_cast<const float*>(base), d.rowBytes / 4, {}};
  Operand o{nullptr, s.columns, ScratchLease(s.rows * s.columns)};
  load_rows(base, d.rowBytes, d.dataType, s.rows, s.columns, o.scratch.data(), s.columns);
  o.data = o.scratch.data();
  return o;
}

}  // namespace

MatrixMultiplication::MatrixMultiplication(bool transposeLeft, bool transposeRight, uint64_t resultRows,
                                           uint64_t resultColumns, uint64_t interiorColumns, double alpha,
                                           double beta)
    : transposeLeft_(transposeLeft),
      transposeRight_(transposeRight),
      rows_(resultRows),
      columns_(resultColumns),
      interior_(interiorColumns),
      alpha_(float(alpha)),
      beta_(float(beta)) {}

bool MatrixMultiplication::check(const Matrix& left, const Matrix& right, const Matrix& result, uint64_t* batches,
                                 std::string* error) const {
  const uint64_t available = result.descriptor.matrices;
  if (batchStart >= available && !(batchSize == 0 && batchStart == available)) {
    *error = "matrix product: batch outside the result";
    return false;
  }
  *batches = batchSize != 0 ? batchSize : available - batchStart;
  if (*batches == 0) return true;
  const uint64_t last = batchStart + *batches - 1;
  const Stored a = transposeLeft_ ? Stored{interior_, rows_} : Stored{rows_, interior_};
  const Stored b = transposeRight_ ? Stored{columns_, interior_} : Stored{interior_, columns_};
  return view_fits(left, a, last, "left matrix", error) && view_fits(right, b, last, "right matrix", error) &&
         view_fits(result, {rows_, columns_}, last, "result matrix", error);
}

void MatrixMultiplication::encode(const mtl::CommandBufferRef& commandBuffer, const Matrix& left,
                                  const Matrix& right, const Matrix& result) const {
  // The command holds copies of the views (and so the buffers) and of the
  // settings at encode time.
  commandBuffer->encode_host_command([self = *this, left, right, result](std::string* error) {
    uint64_t batches = 0;
    if (!self.check(left, right, result, &batches, error)) return false;
    if (self.rows_ == 0 || self.columns_ == 0) return true;
    const Stored a = self.transposeLeft_ ? Stored{self.interior_, self.rows_} : Stored{self.rows_, self.interior_};
    const Stored b =
        self.transposeRight_ ? Stored{self.columns_, self.interior_} : Stored{self.interior_, self.columns_};
    const MatrixDescriptor& rd = result.descriptor;
    const uint64_t result_matrix_bytes = rd.matrixBytes != 0 ? rd.matrixBytes : rd.rows * rd.rowBytes;
    const bool direct = rd.dataType == DataType::kFloat32;
    ScratchLease c_scratch(direct ? 0 : self.rows_ * self.columns_);
    for (uint64_t i = self.batchStart; i < self.batchStart + batches; ++i) {
      const Operand l = operand(left, i, a);
      const Operand r = operand(right, i, b);
      uint8_t* c_base = result.buffer->storage() + result.offset + i * result_matrix_bytes;
      float* c = direct ? reinterpret_cast<float*>(c_base) : c_scratch.data();
      const uint64_t ldc = direct ? rd.rowBytes / 4 : self.columns_;
      if (!direct && self.beta_ != 0)
        load_rows(c_base, rd.rowBytes, rd.dataType, self.rows_, self.columns_, c, ldc);
      cpu_sgemm(self.transposeLeft_, self.transposeRight_, int64_t(self.rows_), int64_t(self.columns_),
                int64_t(self.interior_), self.alpha_, l.data, int64_t(std::max<uint64_t>(l.ld, 1)), r.data,
                int64_t(std::max<uint64_t>(r.ld, 1)), self.beta_, c, int64_t(ldc));
      if (!direct) store_rows(c, ldc, self.rows_, self.columns_, c_base, rd.rowBytes, rd.dataType);
    }
    return true;
  });
}

}  // namespace vorn::mps
