/* The model-independent steps of the OCR demo (see ocr_pipeline.h). */
#include "ocr_pipeline.h"

#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

OcrFindSettings ocr_find_defaults(void) {
  OcrFindSettings s;
  s.threshold = 0.3f;
  s.box_score = 0.6f;
  s.unclip_ratio = 1.5f;
  s.min_side = 3;
  return s;
}

static float clampf(float v, float lo, float hi) { return v < lo ? lo : v > hi ? hi : v; }

/* One region grown from seed by an explicit stack (a text line can hold
 * more pixels than a recursion could go deep). */
typedef struct Region {
  uint32_t min_x, min_y, max_x, max_y;
  double sum;
  uint64_t pixels;
} Region;

static void flood(const float* prob, uint32_t width, uint32_t height, float threshold,
                  uint8_t* seen, uint32_t* stack, uint32_t seed, Region* r) {
  uint64_t top = 0;
  stack[top++] = seed;
  seen[seed] = 1;
  r->min_x = r->max_x = seed % width;
  r->min_y = r->max_y = seed / width;
  r->sum = 0.0;
  r->pixels = 0;
  while (top > 0) {
    const uint32_t at = stack[--top];
    const uint32_t x = at % width, y = at / width;
    r->sum += prob[at];
    r->pixels++;
    if (x < r->min_x) r->min_x = x;
    if (x > r->max_x) r->max_x = x;
    if (y < r->min_y) r->min_y = y;
    if (y > r->max_y) r->max_y = y;
    const uint32_t y0 = y > 0 ? y - 1 : 0, y1 = y + 1 < height ? y + 1 : y;
    const uint32_t x0 = x > 0 ? x - 1 : 0, x1 = x + 1 < width ? x + 1 : x;
    for (uint32_t ny = y0; ny <= y1; ++ny) {
      for (uint32_t nx = x0; nx <= x1; ++nx) {
        const uint32_t n = ny * width + nx;
        /* Each pixel is pushed once, so the stack never outgrows the map. */
        if (!seen[n] && prob[n] > threshold) {
          seen[n] = 1;
          stack[top++] = n;
        }
      }
    }
  }
}

int32_t ocr_find_boxes(const float* prob, uint32_t width, uint32_t height,
                       const OcrFindSettings* settings, OcrBox* boxes, uint32_t capacity) {
  if (prob == NULL || settings == NULL || width == 0 || height == 0) return 0;
  const uint64_t count = (uint64_t)width * height;
  if (count > UINT32_MAX || count > SIZE_MAX / sizeof(uint32_t)) return -1;
  uint8_t* seen = (uint8_t*)calloc((size_t)count, 1);
  uint32_t* stack = (uint32_t*)malloc((size_t)count * sizeof(uint32_t));
  if (seen == NULL || stack == NULL) {
    free(seen);
    free(stack);
    return -1;
  }
  int32_t kept = 0;
  for (uint32_t i = 0; i < (uint32_t)count; ++i) {
    if (seen[i] || !(prob[i] > settings->threshold)) continue;
    Region r;
    flood(prob, width, height, settings->threshold, seen, stack, i, &r);
    const float w = (float)(r.max_x - r.min_x + 1), h = (float)(r.max_y - r.min_y + 1);
    const float min_side = (float)settings->min_side;
    if (w < min_side || h < min_side) continue;
    if ((float)(r.sum / (double)r.pixels) < settings->box_score) continue;
    /* The detector predicts a shrunk kernel of each text line; growing it by
     * area x ratio / perimeter restores the line's full extent. */
    const float d = w * h * settings->unclip_ratio / (2.0f * (w + h));
    if (w + 2.0f * d < min_side + 2.0f || h + 2.0f * d < min_side + 2.0f) continue;
    if (kept == INT32_MAX) break;
    if ((uint32_t)kept < capacity && boxes != NULL) {
      OcrBox* b = &boxes[kept];
      b->x0 = clampf((float)r.min_x - d, 0.0f, (float)width);
      b->y0 = clampf((float)r.min_y - d, 0.0f, (float)height);
      b->x1 = clampf((float)r.max_x + 1.0f + d, 0.0f, (float)width);
      b->y1 = clampf((float)r.max_y + 1.0f + d, 0.0f, (float)height);
      b->score = (float)(r.sum / (double)r.pixels);
    }
    ++kept;
  }
  free(seen);
  free(stack);
  return kept;
}

void ocr_boxes_to_image(OcrBox* boxes, uint32_t count, float scale_x, float scale_y, float pad_x,
                        float pad_y, uint32_t width, uint32_t height) {
  if (!(scale_x > 0.0f) || !(scale_y > 0.0f)) return;
  for (uint32_t i = 0; i < count; ++i) {
    OcrBox* b = &boxes[i];
    b->x0 = clampf((b->x0 - pad_x) / scale_x, 0.0f, (float)width);
    b->x1 = clampf((b->x1 - pad_x) / scale_x, 0.0f, (float)width);
    b->y0 = clampf((b->y0 - pad_y) / scale_y, 0.0f, (float)height);
    b->y1 = clampf((b->y1 - pad_y) / scale_y, 0.0f, (float)height);
  }
}

static int same_line(const OcrBox* a, const OcrBox* b) {
  const float ha = a->y1 - a->y0, hb = b->y1 - b->y0;
  const float dy = (a->y0 + a->y1) * 0.5f - (b->y0 + b->y1) * 0.5f;
  return fabsf(dy) < 0.5f * (ha < hb ? ha : hb);
}

void ocr_sort_reading_order(OcrBox* boxes, uint32_t count) {
  /* A page has tens of lines: insertion sort by top edge, then each box
   * moves left past earlier boxes of its own line. */
  for (uint32_t i = 1; i < count; ++i) {
    const OcrBox v = boxes[i];
    uint32_t j = i;
    for (; j > 0 && boxes[j - 1].y0 > v.y0; --j) boxes[j] = boxes[j - 1];
    boxes[j] = v;
  }
  for (uint32_t i = 1; i < count; ++i) {
    for (uint32_t j = i; j > 0 && same_line(&boxes[j - 1], &boxes[j]) &&
                         boxes[j].x0 < boxes[j - 1].x0;
         --j) {
      const OcrBox t = boxes[j];
      boxes[j] = boxes[j - 1];
      boxes[j - 1] = t;
    }
  }
}

/* Bilinear source position of a destination column or row with pixel
 * centres aligned, clamped into the source. */
static void tap(uint32_t d, float scale, uint32_t size, uint32_t* i0, uint32_t* i1, float* f) {
  float pos = ((float)d + 0.5f) * scale - 0.5f;
  pos = clampf(pos, 0.0f, (float)(size - 1));
  const float lo = floorf(pos);
  *i0 = (uint32_t)lo;
  *i1 = *i0 + 1 < size ? *i0 + 1 : *i0;
  *f = pos - lo;
}

uint32_t ocr_crop_to_tensor(const uint8_t* pixels, uint32_t width, uint32_t height, uint64_t stride,
                            uint32_t bytes_per_pixel, uint32_t out_height, uint32_t out_width,
                            float* destination) {
  if (pixels == NULL || destination == NULL || width == 0 || height == 0 || out_height == 0 ||
      out_width == 0 || bytes_per_pixel == 0)
    return 0;
  const double wanted = ceil((double)out_height * width / height);
  const uint32_t used = wanted < 1.0 ? 1u : wanted > out_width ? out_width : (uint32_t)wanted;
  const uint64_t plane = (uint64_t)out_width * out_height;
  /* Channel byte offsets of B, G and R: the recogniser was trained on
   * images in that order. A grey pixel has one byte for all three. */
  const uint32_t off[3] = {bytes_per_pixel >= 3 ? 2u : 0u, bytes_per_pixel >= 3 ? 1u : 0u, 0u};
  const float sx = (float)width / (float)used, sy = (float)height / (float)out_height;
  for (uint32_t y = 0; y < out_height; ++y) {
    uint32_t r0, r1;
    float fy;
    tap(y, sy, height, &r0, &r1, &fy);
    const uint8_t* row0 = pixels + (uint64_t)r0 * stride;
    const uint8_t* row1 = pixels + (uint64_t)r1 * stride;
    for (uint32_t x = 0; x < out_width; ++x) {
      const uint64_t at = (uint64_t)y * out_width + x;
      if (x >= used) {
        for (int c = 0; c < 3; ++c) destination[c * plane + at] = 0.0f;
        continue;
      }
      uint32_t c0, c1;
      float fx;
      tap(x, sx, width, &c0, &c1, &fx);
      const uint8_t* p00 = row0 + (uint64_t)c0 * bytes_per_pixel;
      const uint8_t* p01 = row0 + (uint64_t)c1 * bytes_per_pixel;
      const uint8_t* p10 = row1 + (uint64_t)c0 * bytes_per_pixel;
      const uint8_t* p11 = row1 + (uint64_t)c1 * bytes_per_pixel;
      for (int c = 0; c < 3; ++c) {
        const uint32_t o = off[c];
        const float top = p00[o] + (p01[o] - p00[o]) * fx;
        const float bottom = p10[o] + (p11[o] - p10[o]) * fx;
        const float v = top + (bottom - top) * fy;
        destination[c * plane + at] = (v / 255.0f - 0.5f) / 0.5f;
      }
    }
  }
  return used;
}

int ocr_keys_parse(const char* bytes, size_t length, OcrKeys* keys) {
  if (keys == NULL) return -1;
  keys->text = NULL;
  keys->start = NULL;
  keys->count = 0;
  if (bytes == NULL) length = 0;
  if (length >= UINT32_MAX) return -1;
  uint64_t lines = 0;
  for (size_t i = 0; i < length; ++i) lines += bytes[i] == '\n';
  if (length > 0 && bytes[length - 1] != '\n') ++lines;
  keys->text = (char*)malloc(length + 1);
  keys->start = (uint32_t*)malloc((size_t)(lines > 0 ? lines : 1) * sizeof(uint32_t));
  if (keys->text == NULL || keys->start == NULL) {
    ocr_keys_free(keys);
    return -1;
  }
  if (length > 0) memcpy(keys->text, bytes, length);
  keys->text[length] = '\0';
  uint32_t begin = 0;
  for (uint32_t i = 0; i <= (uint32_t)length; ++i) {
    if (i < length && keys->text[i] != '\n') continue;
    if (i == length && begin == length) break; /* no unterminated last line */
    uint32_t end = i;
    if (end > begin && keys->text[end - 1] == '\r') --end;
    keys->text[end] = '\0';
    keys->start[keys->count++] = begin;
    begin = i + 1;
  }
  return 0;
}

/* Opens a regular file only: a FIFO would hold the open until a writer comes
 * and a device such as /dev/zero never ends. */
static FILE* open_regular(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return NULL;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return NULL;
  const int flags = fcntl(fd, F_GETFL);
  FILE* f = NULL;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
    f = fdopen(fd, "rb");
  if (f == NULL) close(fd);
  return f;
}

int ocr_keys_load(const char* path, OcrKeys* keys) {
  FILE* f = open_regular(path);
  if (f == NULL) return -1;
  char* bytes = NULL;
  size_t length = 0, cap = 0;
  int status = 0;
  for (;;) {
    if (length == cap) {
      cap = cap ? cap * 2 : 65536;
      char* grown = (char*)realloc(bytes, cap);
      if (grown == NULL) {
        status = -1;
        break;
      }
      bytes = grown;
    }
    const size_t got = fread(bytes + length, 1, cap - length, f);
    length += got;
    if (got == 0) {
      if (ferror(f)) status = -1;
      break;
    }
  }
  fclose(f);
  if (status == 0) status = ocr_keys_parse(bytes, length, keys);
  free(bytes);
  return status;
}

void ocr_keys_free(OcrKeys* keys) {
  if (keys == NULL) return;
  free(keys->text);
  free(keys->start);
  keys->text = NULL;
  keys->start = NULL;
  keys->count = 0;
}

uint32_t ocr_keys_classes(const OcrKeys* keys) { return keys->count + 2; }

float ocr_ctc_decode(const float* probs, uint32_t steps, uint32_t classes, const OcrKeys* keys,
                     char* text, size_t capacity) {
  size_t used = 0;
  int full = 0;
  if (text != NULL && capacity > 0) text[0] = '\0';
  double sum = 0.0;
  uint32_t kept = 0, previous = 0;
  for (uint32_t t = 0; t < steps && classes > 0; ++t) {
    const float* row = probs + (uint64_t)t * classes;
    uint32_t best = 0;
    for (uint32_t c = 1; c < classes; ++c)
      if (row[c] > row[best]) best = c;
    const int repeat = best == previous;
    previous = best;
    if (best == 0 || repeat) continue;
    const char* key = best <= keys->count ? keys->text + keys->start[best - 1]
                      : best == keys->count + 1 ? " "
                                                : NULL;
    if (key == NULL) continue;
    sum += row[best];
    ++kept;
    const size_t n = strlen(key);
    if (full || text == NULL || used + n + 1 > capacity) {
      full = 1;
      continue;
    }
    memcpy(text + used, key, n + 1);
    used += n;
  }
  return kept > 0 ? (float)(sum / kept) : 0.0f;
}
