/* vorn-demo: reads the text of a photo with two trained models through the
 * library's C interface.
 *
 *   vorn-demo [--runs N] DETECTOR.vorn RECOGNISER.vorn KEYS.txt PHOTO
 *
 * The detector (a PP-OCR text detector) answers, per pixel of its input,
 * the probability of text; its regions, grown back to whole lines, are cut
 * from the photo, each resized to the recogniser's height and read by the
 * recogniser (a CTC text recogniser) into characters of the keys file. The
 * lines are printed top to bottom with the latency of each stage. With
 * --runs N the detection and recognition are repeated and the fastest run
 * is reported as well (the first run pays for first-touch memory).
 * Without arguments it prints the version and the backends. */
#define _POSIX_C_SOURCE 200809L /* clock_gettime */

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ocr_pipeline.h"
#include "vorn.h"

enum { kMaxLines = 256, kMaxText = 1024 };

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec * 1e-6;
}

static int session_failed(const VornSession* s, const char* what) {
  fflush(stdout);
  fprintf(stderr, "vorn-demo: %s: %.*s (status %u)\n", what, (int)vorn_session_error_message_len(s),
          vorn_session_error_message_ptr(s), vorn_session_error_code(s));
  return 1;
}

static int frame_failed(const VornFrame* f, const char* what) {
  fflush(stdout);
  fprintf(stderr, "vorn-demo: %s: %.*s (status %u)\n", what, (int)vorn_frame_error_message_len(f),
          vorn_frame_error_message_ptr(f), vorn_frame_error_code(f));
  return 1;
}

static void print_backends(void) {
  static const char* names[] = {"AUTO", "CPU", "GPU", "NPU"};
  printf("vorn %s\n", vorn_version());
  for (uint32_t b = 0; b < 4; ++b)
    printf("backend %-4s %s\n", names[b], vorn_probe_backend(NULL, b) ? "available" : "unavailable");
}

/* What one pass over the photo found. */
typedef struct Line {
  OcrBox box;
  float confidence;
  double ms;
  char text[kMaxText];
} Line;

typedef struct Pass {
  Line lines[kMaxLines];
  uint32_t count;   /* lines read */
  int32_t regions;  /* regions the detector found */
  double detect_ms, recognise_ms;
} Pass;

typedef struct Demo {
  VornSession* detector;
  VornSession* recogniser;
  VornFrame* photo;
  VornFrame* crop;
  VornInput* input;
  VornOutput* output;
  OcrKeys keys;
  uint32_t rec_height, rec_width;
  float* rec_tensor;
} Demo;

static int detect(Demo* d, Pass* p) {
  const double t0 = now_ms();
  vorn_input_clear(d->input);
  vorn_input_set_frame(d->input, d->photo);
  if (!vorn_session_run(d->detector, d->input, d->output))
    return session_failed(d->detector, "detector run");
  const float* prob = vorn_output_f32_ptr(d->output, 0);
  const int64_t h = vorn_output_dim(d->output, 0, 2), w = vorn_output_dim(d->output, 0, 3);
  if (prob == NULL || vorn_output_rank(d->output, 0) != 4 || h <= 0 || w <= 0 ||
      (uint64_t)(h * w) > vorn_output_elem_count(d->output, 0)) {
    fprintf(stderr, "vorn-demo: the detector's output is not a 1 x 1 x H x W probability map\n");
    return 1;
  }
  const OcrFindSettings settings = ocr_find_defaults();
  OcrBox boxes[kMaxLines];
  p->regions = ocr_find_boxes(prob, (uint32_t)w, (uint32_t)h, &settings, boxes, kMaxLines);
  if (p->regions < 0) {
    fprintf(stderr, "vorn-demo: out of memory finding text regions\n");
    return 1;
  }
  p->count = p->regions < kMaxLines ? (uint32_t)p->regions : kMaxLines;
  ocr_boxes_to_image(boxes, p->count, vorn_output_scale_x(d->output), vorn_output_scale_y(d->output),
                     vorn_output_pad_x(d->output), vorn_output_pad_y(d->output),
                     vorn_frame_width(d->photo), vorn_frame_height(d->photo));
  ocr_sort_reading_order(boxes, p->count);
  for (uint32_t i = 0; i < p->count; ++i) p->lines[i].box = boxes[i];
  p->detect_ms = now_ms() - t0;
  return 0;
}

static uint32_t bytes_per_pixel(VornPixelFormat f) {
  switch (f) {
    case VORN_PIXEL_RGB:
    case VORN_PIXEL_BGR: return 3;
    case VORN_PIXEL_RGBA:
    case VORN_PIXEL_BGRA: return 4;
    default: return 1;
  }
}

static int recognise(Demo* d, Pass* p) {
  const double t0 = now_ms();
  const uint64_t count = 3ull * d->rec_height * d->rec_width;
  for (uint32_t i = 0; i < p->count; ++i) {
    Line* line = &p->lines[i];
    const double t1 = now_ms();
    const int32_t x = (int32_t)line->box.x0, y = (int32_t)line->box.y0;
    const uint32_t cw = (uint32_t)(line->box.x1 + 0.999f) - (uint32_t)x;
    const uint32_t ch = (uint32_t)(line->box.y1 + 0.999f) - (uint32_t)y;
    line->text[0] = '\0';
    line->confidence = 0.0f;
    if (cw == 0 || ch == 0) continue;
    if (!vorn_frame_crop_into(d->photo, d->crop, x, y, cw, ch)) return frame_failed(d->crop, "crop");
    /* BGR frames would need their channels swapped; frames loaded from a
     * file are RGB or grey. */
    const uint32_t bpp = bytes_per_pixel(vorn_frame_format(d->crop));
    if (ocr_crop_to_tensor(vorn_frame_data_ptr(d->crop), vorn_frame_width(d->crop),
                           vorn_frame_height(d->crop), vorn_frame_stride(d->crop), bpp,
                           d->rec_height, d->rec_width, d->rec_tensor) == 0)
      continue;
    vorn_input_clear(d->input);
    if (!vorn_input_set_f32(d->input, 0, d->rec_tensor, count, 0)) {
      fprintf(stderr, "vorn-demo: cannot bind the recogniser's input\n");
      return 1;
    }
    if (!vorn_session_run(d->recogniser, d->input, d->output))
      return session_failed(d->recogniser, "recogniser run");
    const int64_t steps = vorn_output_dim(d->output, 0, 1), classes = vorn_output_dim(d->output, 0, 2);
    const float* probs = vorn_output_f32_ptr(d->output, 0);
    if (probs == NULL || steps <= 0 || classes != (int64_t)ocr_keys_classes(&d->keys) ||
        (uint64_t)(steps * classes) > vorn_output_elem_count(d->output, 0)) {
      fprintf(stderr, "vorn-demo: the recogniser's output is not 1 x steps x %u classes\n",
              ocr_keys_classes(&d->keys));
      return 1;
    }
    line->confidence = ocr_ctc_decode(probs, (uint32_t)steps, (uint32_t)classes, &d->keys, line->text,
                                      sizeof line->text);
    line->ms = now_ms() - t1;
  }
  p->recognise_ms = now_ms() - t0;
  return 0;
}

static int open_model(VornSession* s, const char* path, const char* what) {
  vorn_session_set_backend(s, VORN_BACKEND_CPU);
  if (!vorn_session_open(s, path, strlen(path))) return session_failed(s, what);
  return 0;
}

static void print_pass(const Demo* d, const Pass* p) {
  const float min_confidence = 0.5f; /* lower ones are not text */
  printf("\n%-5s %-22s %8s  %s\n", "conf", "box (x0,y0)-(x1,y1)", "ms", "text");
  for (uint32_t i = 0; i < p->count; ++i) {
    const Line* l = &p->lines[i];
    if (l->confidence < min_confidence || l->text[0] == '\0') continue;
    char box[64];
    snprintf(box, sizeof box, "(%d,%d)-(%d,%d)", (int)l->box.x0, (int)l->box.y0, (int)l->box.x1,
             (int)l->box.y1);
    printf("%5.3f %-22s %8.1f  %s\n", l->confidence, box, l->ms, l->text);
  }
  if (p->regions > kMaxLines) printf("(%d regions; the first %d read)\n", p->regions, kMaxLines);
  (void)d;
}

static const char kUsage[] =
    "usage: vorn-demo [--runs N] DETECTOR.vorn RECOGNISER.vorn KEYS.txt PHOTO\n"
    "\n"
    "Reads the text of a JPEG or PNG photo through vorn's C interface: the\n"
    "detector finds the text lines, each line is cut out and read by the\n"
    "recogniser, whose characters KEYS.txt lists one a line. Prints one row per\n"
    "line (confidence, box in photo pixels, time, text), then the latency of\n"
    "each stage. Without arguments it lists the backends of this machine.\n"
    "\n"
    "options:\n"
    "  --runs N     repeat detection and recognition N times (1 to 1000) and\n"
    "               print the fastest run as well\n"
    "  -h, --help   show this help\n";

int main(int argc, char** argv) {
  int runs = 1, arg = 1;
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 2 && strcmp(argv[1], "--runs") == 0) {
    char* end = NULL;
    errno = 0;
    const long v = strtol(argv[2], &end, 10);
    if (errno != 0 || end == argv[2] || *end != '\0' || v < 1 || v > 1000) {
      fprintf(stderr, "vorn-demo: --runs takes a number from 1 to 1000\n");
      return 2;
    }
    runs = (int)v;
    arg = 3;
  }
  if (argc == 1) {
    print_backends();
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc - arg != 4) {
    fputs(kUsage, stderr);
    return 2;
  }
  const char* det_path = argv[arg];
  const char* rec_path = argv[arg + 1];
  const char* keys_path = argv[arg + 2];
  const char* photo_path = argv[arg + 3];

  Demo d;
  memset(&d, 0, sizeof d);
  int status = 1;
  Pass* pass = (Pass*)calloc(1, sizeof(Pass));
  Pass* best = (Pass*)calloc(1, sizeof(Pass));
  d.detector = vorn_session_new(NULL);
  d.recogniser = vorn_session_new(NULL);
  d.photo = vorn_frame_new();
  d.crop = vorn_frame_new();
  d.input = vorn_input_new();
  d.output = vorn_output_new();
  if (pass == NULL || best == NULL || d.detector == NULL || d.recogniser == NULL || d.photo == NULL ||
      d.crop == NULL || d.input == NULL || d.output == NULL) {
    fprintf(stderr, "vorn-demo: out of memory\n");
    goto done;
  }
  printf("vorn %s: reading the text of %s\n", vorn_version(), photo_path);

  /* The detector was trained on B, G, R planes normalised with these
   * per-plane means and deviations; the photo is fitted into its input
   * without distortion, the margin black. */
  vorn_session_set_resize_mode(d.detector, VORN_RESIZE_LETTERBOX);
  vorn_session_set_letterbox_pad(d.detector, 0);
  vorn_session_set_color_bgr(d.detector, 1);
  vorn_session_set_normalization(d.detector, 1.0f / 255.0f, 0.485f, 0.456f, 0.406f, 0.229f, 0.224f,
                                 0.225f);
  const double t_open = now_ms();
  if (open_model(d.detector, det_path, "opening the detector") ||
      open_model(d.recogniser, rec_path, "opening the recogniser"))
    goto done;
  const double open_ms = now_ms() - t_open;
  if (vorn_session_input_rank(d.recogniser, 0) != 4 || vorn_session_input_dim(d.recogniser, 0, 1) != 3 ||
      vorn_session_input_dim(d.recogniser, 0, 2) <= 0 || vorn_session_input_dim(d.recogniser, 0, 3) <= 0 ||
      vorn_session_input_dim(d.recogniser, 0, 2) > 4096 || vorn_session_input_dim(d.recogniser, 0, 3) > 16384) {
    fprintf(stderr, "vorn-demo: the recogniser's input is not 1 x 3 x H x W\n");
    goto done;
  }
  d.rec_height = (uint32_t)vorn_session_input_dim(d.recogniser, 0, 2);
  d.rec_width = (uint32_t)vorn_session_input_dim(d.recogniser, 0, 3);
  d.rec_tensor = (float*)malloc(sizeof(float) * 3 * d.rec_height * d.rec_width);
  if (d.rec_tensor == NULL) {
    fprintf(stderr, "vorn-demo: out of memory\n");
    goto done;
  }
  if (ocr_keys_load(keys_path, &d.keys) != 0) {
    fprintf(stderr, "vorn-demo: cannot read the keys file %s\n", keys_path);
    goto done;
  }
  if (!vorn_frame_load_file(d.photo, photo_path, strlen(photo_path))) {
    frame_failed(d.photo, "loading the photo");
    goto done;
  }
  printf("photo %u x %u; detector input %lld x %lld, recogniser input %u x %u; %u characters\n",
         vorn_frame_width(d.photo), vorn_frame_height(d.photo),
         (long long)vorn_session_input_dim(d.detector, 0, 3),
         (long long)vorn_session_input_dim(d.detector, 0, 2), d.rec_width, d.rec_height, d.keys.count);

  double first_total = 0.0;
  for (int r = 0; r < runs; ++r) {
    if (detect(&d, pass) || recognise(&d, pass)) goto done;
    const double total = pass->detect_ms + pass->recognise_ms;
    if (r == 0) {
      print_pass(&d, pass);
      first_total = total;
      printf("\nlatency: open %.1f ms, detect %.1f ms (%d regions), recognise %.1f ms, total %.1f ms\n",
             open_ms, pass->detect_ms, pass->regions, pass->recognise_ms, open_ms + total);
    }
    if (r == 0 || total < best->detect_ms + best->recognise_ms) {
      Pass* t = best;
      best = pass;
      pass = t;
    }
  }
  if (runs > 1)
    printf("fastest of %d runs: detect %.1f ms, recognise %.1f ms, total %.1f ms (first run %.1f ms)\n",
           runs, best->detect_ms, best->recognise_ms, best->detect_ms + best->recognise_ms,
           first_total);
  status = 0;

done:
  ocr_keys_free(&d.keys);
  free(d.rec_tensor);
  vorn_output_free(d.output);
  vorn_input_free(d.input);
  vorn_frame_free(d.crop);
  vorn_frame_free(d.photo);
  vorn_session_free(d.recogniser);
  vorn_session_free(d.detector);
  free(pass);
  free(best);
  return status;
}
