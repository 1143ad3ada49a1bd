// The texts of the conversion notes.
#include <gtest/gtest.h>

#include "converter/conversion_notes.h"
#include "import_helpers.h"

using namespace vorn;
using convtest::take;

TEST(ConversionNotes, Texts) {
  convert_notes_reset();
  EXPECT_EQ(take(convert_note_dynamic_batch()), "");
  EXPECT_EQ(take(convert_note_int8_weights()), "");
  EXPECT_EQ(take(convert_note_rewrites()), "");

  convert_notes().int8_elements = 1000000;
  EXPECT_EQ(take(convert_note_int8_weights()),
            "int8 weights (MatMulInteger/ConvInteger) are stored as FP32: 1 MB of int8 became 4 MB, and run in FP32");
  convert_notes().int8_elements = 524288;
  EXPECT_EQ(take(convert_note_int8_weights()),
            "int8 weights (MatMulInteger/ConvInteger) are stored as FP32: 1 MB of int8 became 2 MB, and run in FP32");

  convert_notes().rewrites = 0x300;
  EXPECT_EQ(take(convert_note_rewrites()),
            "  Pow with an exponent other than 2 or 0.5 lowered to Sqrt (below 1) or square\n"
            "  CumSum/Pad subgraph replaced by global average pooling (NAFNet)\n");

  const uint8_t a[] = "input_a";
  convert_notes_add_batch_name(a, 7);
  convert_notes_add_batch_name(a, 7);
  EXPECT_EQ(take(convert_note_dynamic_batch()),
            "dynamic batch (dim 0) bound to 1 for input_a, input_a; bind it with --dim or --input to change");
  // Names stop being added before the text passes 508 bytes.
  std::string long_name(300, 'n');
  convert_notes_add_batch_name(reinterpret_cast<const uint8_t*>(long_name.data()), 300);
  convert_notes_add_batch_name(reinterpret_cast<const uint8_t*>(long_name.data()), 300);
  EXPECT_EQ(convert_notes().batch_names_len, 7u + 2 + 7 + 2 + 300);

  // A failed conversion starts from cleared notes.
  EXPECT_NE(convtest::import_file("/nonexistent/model.onnx").error, "");
  EXPECT_EQ(take(convert_note_rewrites()), "");
  EXPECT_EQ(take(convert_note_dynamic_batch()), "");
  EXPECT_EQ(take(convert_note_int8_weights()), "");
}
