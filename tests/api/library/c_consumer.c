/* A plain C99 program using the public header against the shared library:
 * configuration, frames and crops, inputs, and the answers of sessions and
 * outputs that hold nothing. Exits with the number of the first failed
 * check. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vorn.h"

static int failed_at = 0;
static int check_no = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    ++check_no;                                                       \
    if (!(cond) && failed_at == 0) {                                  \
      failed_at = check_no;                                           \
      fprintf(stderr, "check %d failed: %s (line %d)\n", check_no,   \
              #cond, __LINE__);                                       \
    }                                                                 \
  } while (0)

static int text_is(const char* ptr, size_t len, const char* want) {
  return ptr != NULL && len == strlen(want) && memcmp(ptr, want, len) == 0 && ptr[len] == 0;
}

static void check_version_and_config(void) {
  VornConfig* config;
  const char* v = vorn_version();
  CHECK(v != NULL && strcmp(v, "0.1.0-ea.1") == 0);
  CHECK(vorn_probe_backend(NULL, VORN_BACKEND_AUTO));
  CHECK(vorn_probe_backend(NULL, VORN_BACKEND_CPU));
  CHECK(!vorn_probe_backend(NULL, 7u));

  config = vorn_config_new();
  CHECK(config != NULL);
  vorn_config_set_models_dir(config, "/models", 7);
  vorn_config_set_backend(config, VORN_BACKEND_CPU);
  vorn_config_set_threads(config, 4);
  vorn_config_set_verify_weights(config, 1);
  CHECK(vorn_probe_backend(config, VORN_BACKEND_CPU));
  vorn_config_free(config);
  vorn_config_free(NULL);
}

static void check_frames(void) {
  /* A 4x3 RGB image with one padding byte a row. */
  enum { W = 4, H = 3, STRIDE = W * 3 + 1 };
  unsigned char* pixels = (unsigned char*)malloc(STRIDE * H);
  VornFrame* source = vorn_frame_new();
  VornFrame* view = vorn_frame_new();
  VornFrame* copy = vorn_frame_new();
  const unsigned char* p;
  int x, y;
  for (y = 0; y < H; ++y)
    for (x = 0; x < STRIDE; ++x) pixels[y * STRIDE + x] = (unsigned char)(y * 16 + x);

  CHECK(source != NULL && view != NULL && copy != NULL);
  CHECK(vorn_frame_format(source) == VORN_PIXEL_NONE);
  /* Owned copy: the caller's pixels may go right away. */
  CHECK(vorn_frame_set_pixels(source, pixels, STRIDE * H, W, H, STRIDE, VORN_PIXEL_RGB, 1, 1));
  memset(pixels, 0, STRIDE * H);
  CHECK(vorn_frame_width(source) == W && vorn_frame_height(source) == H);
  CHECK(vorn_frame_stride(source) == W * 3);
  CHECK(vorn_frame_error_code(source) == VORN_STATUS_OK);
  CHECK(vorn_frame_error_message_len(source) == 0);

  /* A crop outlives its source. */
  CHECK(vorn_frame_crop_into(source, view, 1, 1, 2, 5));
  vorn_frame_free(source);
  CHECK(vorn_frame_width(view) == 2 && vorn_frame_height(view) == 2);
  p = vorn_frame_data_ptr(view);
  CHECK(p != NULL && p[0] == 16 + 3 && p[vorn_frame_stride(view)] == 32 + 3);

  /* Orientation 6 of a gray image turns it upright into RGB. */
  {
    unsigned char gray[6] = {1, 2, 3, 4, 5, 6}; /* 3x2 */
    CHECK(vorn_frame_set_pixels(copy, gray, 6, 3, 2, 0, VORN_PIXEL_GRAY, 6, 0));
    CHECK(vorn_frame_width(copy) == 2 && vorn_frame_height(copy) == 3);
    CHECK(vorn_frame_format(copy) == VORN_PIXEL_RGB);
    p = vorn_frame_data_ptr(copy);
    CHECK(p[0] == 4 && p[3] == 1);
  }

  /* Failures are recorded on the frame. */
  CHECK(!vorn_frame_set_pixels(copy, pixels, 4, W, H, 0, VORN_PIXEL_RGB, 1, 0));
  CHECK(vorn_frame_error_code(copy) == VORN_STATUS_INVALID_ARGUMENT);
  CHECK(text_is(vorn_frame_error_message_ptr(copy), vorn_frame_error_message_len(copy),
                "Pixel buffer length is smaller than required stride * height"));
  CHECK(vorn_frame_width(copy) == 2);
  CHECK(!vorn_frame_load_encoded(copy, pixels, 7));
  CHECK(vorn_frame_error_code(copy) == VORN_STATUS_INVALID_ARGUMENT);
  CHECK(!vorn_frame_load_file(copy, NULL, 0));
  CHECK(text_is(vorn_frame_error_message_ptr(copy), vorn_frame_error_message_len(copy),
                "Empty image file path"));

  CHECK(vorn_frame_error_code(NULL) == VORN_STATUS_INVALID_ARGUMENT);
  CHECK(text_is(vorn_frame_error_message_ptr(NULL), vorn_frame_error_message_len(NULL),
                "Null Frame handle"));
  CHECK(vorn_frame_data_ptr(NULL) == NULL);
  vorn_frame_free(view);
  vorn_frame_free(copy);
  vorn_frame_free(NULL);
  free(pixels);
}

static void check_inputs_sessions_outputs(void) {
  float values[4] = {1, 2, 3, 4};
  VornInput* input = vorn_input_new();
  VornOutput* output = vorn_output_new();
  VornSession* session = vorn_session_new(NULL);
  CHECK(input != NULL && output != NULL && session != NULL);

  CHECK(vorn_input_set_f32(input, 0, values, 4, 1));
  CHECK(!vorn_input_set_f32(input, VORN_MAX_INPUT_TENSORS, values, 4, 0));
  CHECK(vorn_input_set_named_u8(input, "mask", 4, (const uint8_t*)"abcd", 4, 0));
  vorn_input_set_prompt(input, "Describe the image.", 19);
  CHECK(vorn_input_add_message(input, "user", 4, "Hello", 5));
  CHECK(vorn_input_add_stop(input, "\n\n", 2));
  CHECK(!vorn_input_add_stop(input, "", 0));
  vorn_input_set_temperature(input, 0.7f);
  vorn_input_set_image_tiled(input, 1, 384);
  vorn_input_clear(input);

  CHECK(vorn_session_error_code(NULL) == VORN_STATUS_INVALID_ARGUMENT);
  CHECK(text_is(vorn_session_error_message_ptr(NULL), vorn_session_error_message_len(NULL),
                "Null Session handle"));
  CHECK(vorn_session_requested_backend(session) == VORN_BACKEND_AUTO);
  CHECK(!vorn_session_run(session, input, output));
  CHECK(vorn_session_error_code(session) == VORN_STATUS_INVALID_ARGUMENT);
  CHECK(!vorn_session_open(session, "", 0));
  CHECK(text_is(vorn_session_error_message_ptr(session), vorn_session_error_message_len(session),
                "Empty model path"));
  CHECK(vorn_session_input_dim(session, 0, 0) == -1);

  CHECK(vorn_output_tensor_count(output) == 0);
  CHECK(vorn_output_scale_x(output) == 1.0f && vorn_output_scale_y(NULL) == 1.0f);
  CHECK(vorn_output_top_class_id(output, -1) == UINT32_MAX);
  CHECK(vorn_output_dim(output, 0, 0) == -1);
  CHECK(vorn_output_index_of(NULL, "x", 1) == -1);
  CHECK(vorn_output_text_len(output) == 0 && vorn_output_text_ptr(output)[0] == 0);

  vorn_session_cancel(session);
  CHECK(vorn_session_reset(session));
  vorn_session_free(session);
  vorn_output_free(output);
  vorn_input_free(input);
  vorn_session_free(NULL);
  vorn_output_free(NULL);
  vorn_input_free(NULL);
}

int main(void) {
  check_version_and_config();
  check_frames();
  check_inputs_sessions_outputs();
  if (failed_at != 0) return failed_at > 255 ? 255 : failed_at;
  printf("%s: %d checks passed\n", vorn_version(), check_no);
  return 0;
}
