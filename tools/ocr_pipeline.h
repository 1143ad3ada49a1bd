/* The model-independent steps of the OCR demo: text regions from a
 * detector's probability map, recogniser input from a crop of the photo,
 * and greedy CTC decoding of the recogniser's per-step classes. Plain C with
 * no library calls, so the test drives it on synthetic data. */
#ifndef VORN_TOOLS_OCR_PIPELINE_H
#define VORN_TOOLS_OCR_PIPELINE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A text region, in the coordinates of whatever it was found in. */
typedef struct OcrBox {
  float x0, y0, x1, y1; /* x1, y1 exclusive */
  float score;          /* mean probability over the region's pixels */
} OcrBox;

typedef struct OcrFindSettings {
  float threshold;    /* a pixel is text above this probability */
  float box_score;    /* regions with a lower mean probability are dropped */
  float unclip_ratio; /* the region grows by area x ratio / perimeter a side */
  uint32_t min_side;  /* regions thinner than this many pixels are dropped */
} OcrFindSettings;

/* 0.3, 0.6, 1.5 and 3: the values the detector was trained with. */
OcrFindSettings ocr_find_defaults(void);

/* Finds the 8-connected regions of prob (width x height, row-major) above
 * the threshold and writes up to capacity of them, grown and clamped to the
 * map, to boxes. Returns the number of regions kept (which may exceed
 * capacity: only the first capacity are written), or -1 when the scratch
 * memory cannot be had or the sizes overflow. */
int32_t ocr_find_boxes(const float* prob, uint32_t width, uint32_t height,
                       const OcrFindSettings* settings, OcrBox* boxes, uint32_t capacity);

/* Maps boxes from a tensor made as tensor = image x scale + pad back to the
 * image and clamps them to width x height. */
void ocr_boxes_to_image(OcrBox* boxes, uint32_t count, float scale_x, float scale_y, float pad_x,
                        float pad_y, uint32_t width, uint32_t height);

/* Sorts boxes top to bottom, and left to right among boxes whose vertical
 * centres lie within half a line height of each other. */
void ocr_sort_reading_order(OcrBox* boxes, uint32_t count);

/* Resamples a crop (width x height pixels of bytes_per_pixel bytes, rows
 * stride bytes apart, channels R, G, B or a single grey byte) to out_height
 * rows, keeping the aspect ratio up to out_width columns, into three planes
 * of out_width x out_height floats in the order B, G, R with values
 * (v / 255 - 0.5) / 0.5; columns past the resized width are 0. Returns the
 * resized width, 0 (nothing written) for an empty crop or output. */
uint32_t ocr_crop_to_tensor(const uint8_t* pixels, uint32_t width, uint32_t height, uint64_t stride,
                            uint32_t bytes_per_pixel, uint32_t out_height, uint32_t out_width,
                            float* destination);

/* The recogniser's character list: class 0 is the CTC blank, classes
 * 1..count are the lines of the keys file, class count + 1 is a space. */
typedef struct OcrKeys {
  char* text;       /* the file's bytes, lines cut at their ends */
  uint32_t* start;  /* offset of each key in text */
  uint32_t count;
} OcrKeys;

/* Splits keys text (one key a line, "\n" or "\r\n", the last line may lack
 * its end) into a new key list; the bytes are copied. 0 on success, -1 when
 * memory runs out or the text is too long. */
int ocr_keys_parse(const char* bytes, size_t length, OcrKeys* keys);
/* Reads a keys file; 0 on success, -1 when it cannot be read or is not a
 * regular file. */
int ocr_keys_load(const char* path, OcrKeys* keys);
void ocr_keys_free(OcrKeys* keys);
/* Number of classes the keys call for: count + 2. */
uint32_t ocr_keys_classes(const OcrKeys* keys);

/* Greedy CTC decoding of steps x classes probabilities (row-major): the
 * best class of each step, with repeats collapsed and blanks dropped,
 * spelled with keys into text (NUL-terminated, cut at a whole key to fit
 * capacity bytes). Returns the mean probability of the kept steps (0 when
 * none was kept); classes beyond the keys are skipped. */
float ocr_ctc_decode(const float* probs, uint32_t steps, uint32_t classes, const OcrKeys* keys,
                     char* text, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* VORN_TOOLS_OCR_PIPELINE_H */
