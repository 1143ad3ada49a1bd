// Our stand-in for the platform's matrix-multiplication kernel object: a
// product C = alpha op(A) op(B) + beta C over matrices that live in device
// buffers, encoded into a command buffer as one command of its in-order
// stream. It runs on the CPU's fast product (cpu_sgemm): float16 operands
// are widened once into pooled scratch, a float16 result is computed in
// float and rounded once.
//
// A matrix is a view of a buffer: rows x columns values of one data type,
// rows `rowBytes` apart, and for batches `matrices` such matrices
// `matrixBytes` apart. The object fixes the product's shape at creation and
// is reused for every encode of that shape.
#pragma once
#include <cstdint>

#include "platform/compute_device.h"
#include "platform/data_type.h"

namespace vorn::mps {

struct MatrixDescriptor {
  uint64_t rows = 0;
  uint64_t columns = 0;
  uint64_t matrices = 1;
  uint64_t rowBytes = 0;
  uint64_t matrixBytes = 0;  // 0: rows x rowBytes
  DataType dataType = DataType::kFloat32;
};

struct Matrix {
  mtl::BufferRef buffer;
  uint64_t offset = 0;  // bytes to element (0, 0) of matrix 0
  MatrixDescriptor descriptor;
};

class MatrixMultiplication {
 public:
  // The result holds resultRows x resultColumns; interiorColumns is the
  // shared dimension. transposeLeft reads A stored interior x rows,
  // transposeRight reads B stored columns x interior.
  MatrixMultiplication(bool transposeLeft, bool transposeRight, uint64_t resultRows, uint64_t resultColumns,
                       uint64_t interiorColumns, double alpha, double beta);

  // Matrices of the batch that an encode computes: batchSize products from
  // batchStart on (batchSize 0: every matrix of the result from batchStart).
  uint64_t batchStart = 0;
  uint64_t batchSize = 0;

  // Appends the product to the command buffer. Matrices that do not hold
  // the product's shape, or views that leave their buffers, fail the command
  // buffer when it runs (status error, with the reason) and touch nothing.
  void encode(const mtl::CommandBufferRef& commandBuffer, const Matrix& left, const Matrix& right,
              const Matrix& result) const;

  uint64_t resultRows() const { return rows_; }
  uint64_t resultColumns() const { return columns_; }
  uint64_t interiorColumns() const { return interior_; }

 private:
  bool check(const Matrix& left, const Matrix& right, const Matrix& result, uint64_t* batches,
             std::string* error) const;
  bool transposeLeft_, transposeRight_;
  uint64_t rows_, columns_, interior_;
  float alpha_, beta_;
};

}  // namespace vorn::mps
