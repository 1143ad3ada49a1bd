// Calibration ranges: for every graph value the largest magnitude, the
// minimum and the maximum it took over the recorded passes, and the ranges
// file that carries them between engines and processes.
//
// The file has no header: 3 x V little-endian f32 for a graph of V values,
// [0, 4V) bytes max |x|, [4V, 8V) min, [8V, 12V) max, indexed by value id.
// A value never seen holds 0, 3.0e38 and -3.0e38. The file only means
// something for the model it was made from.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn {

inline constexpr float kRangeUnseenMin = 3.0e38f;
inline constexpr float kRangeUnseenMax = -3.0e38f;

// Sets every value of a 3 x V table to "never seen".
void cpu_ranges_clear(std::span<float> table);

// Widens value id's ranges by the finite values of data (infinities and NaN
// say nothing about the range a narrower type has to hold).
void cpu_ranges_record(std::span<float> table, uint64_t id, const float* data, uint64_t count);

// Checks that a 3 x V table is one a calibration pass could have made, of
// which a ranges file gave the first `held` entries (the rest as
// cpu_ranges_clear left them): every value either never seen, or finite
// with min <= max and max |x| the larger magnitude of the two; a value the
// file gave only in part has finite entries, max |x| at least 0 and a min
// within it. Returns the first value id that is not, or V when all are.
uint64_t cpu_ranges_first_bad(std::span<const float> table, uint64_t held);

// Reads the ranges file at path into the table (3 x V values). A missing
// file leaves the table as it is and is not an error; a shorter file gives
// the whole f32 values it holds, in order, and leaves the rest as they are
// (a file of the V max |x| values alone serves the symmetric grids). Returns
// 0, or 3 with a reason in message when the file cannot be read, is longer
// than 12 x V bytes, or holds ranges no calibration pass makes.
uint32_t cpu_ranges_read(const char* path, std::span<float> table, char* message, size_t capacity);

// Writes the table to path through a temporary file in the same directory
// renamed over it, so that a reader never sees a partly written file (a
// device or a FIFO is written through, see base/file_write.h). False when it
// could not be written.
bool cpu_ranges_write(const char* path, std::span<const float> table);

}  // namespace vorn
