// JPEG decoding through libjpeg-turbo, straight into the output rows.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
// jerror.h after jpeglib.h: it needs its types.
#include <jerror.h>

#include "image/decode_internal.h"

namespace vorn {

namespace {

// The error manager must come first: libjpeg hands it back as cinfo->err.
struct JpegErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

struct JpegContext {
  JpegErrorManager err;
  jpeg_progress_mgr progress;
  jpeg_decompress_struct cinfo;
};

// Real progressive files have a dozen scans; thousands of tiny ones only
// make the decoder spend time quadratic in the input.
constexpr int kMaxScans = 1000;

void jpeg_scan_limit(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxScans) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "JPEG has more than %d scans", kMaxScans);
    longjmp(err->jump, 1);
  }
}

void jpeg_error_exit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

// Other warnings are dropped: an unknown JFIF revision, odd scan parameters
// or a progression that refines a coefficient twice leave decodable data.
void jpeg_output_message(j_common_ptr) {}

// Warnings that say the entropy-coded data is damaged. The library goes on
// after them and fills what it could not decode with grey, or decodes
// garbage (a Huffman scan read as arithmetic-coded shows only as extraneous
// bytes before the end marker), so an image that reports one is refused.
bool corrupt_data_warning(int code) {
  switch (code) {
    case JWRN_ARITH_BAD_CODE:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
      return true;
    default:
      return false;
  }
}

void jpeg_emit_message(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  // Running out of data: the memory source then feeds a fake end marker and
  // the library would hand back grey rows as if they had decoded.
  if (cinfo->err->msg_code == JWRN_JPEG_EOF) {
    std::snprintf(err->message, sizeof err->message, "Truncated JPEG data");
    longjmp(err->jump, 1);
  }
  if (corrupt_data_warning(cinfo->err->msg_code)) {
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->jump, 1);
  }
  cinfo->err->num_warnings++;
}

}  // namespace

bool jpeg_decode_rgb(const uint8_t* data, uint64_t length, uint64_t max_area, DecodedImage* image,
                     char* error) {
  // Both records live on the heap so nothing the jump skips over needs to be
  // volatile.
  auto* ctx = static_cast<JpegContext*>(std::calloc(1, sizeof(JpegContext)));
  if (ctx == nullptr) {
    image_set_error(error, "JPEG allocation failed");
    return false;
  }
  jpeg_decompress_struct* cinfo = &ctx->cinfo;
  cinfo->err = jpeg_std_error(&ctx->err.pub);
  ctx->err.pub.error_exit = jpeg_error_exit;
  ctx->err.pub.output_message = jpeg_output_message;
  ctx->err.pub.emit_message = jpeg_emit_message;
  if (setjmp(ctx->err.jump) != 0) {
    image_set_error_named(error, "JPEG", "JPEG decoding failed: ", ctx->err.message);
    jpeg_destroy_decompress(cinfo);
    std::free(ctx);
    decoded_image_free(image);
    return false;
  }
  jpeg_create_decompress(cinfo);
  ctx->progress.progress_monitor = jpeg_scan_limit;
  cinfo->progress = &ctx->progress;
  // The memory source takes an unsigned long length; anything larger than
  // that was refused by the caller's size checks long before.
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(length));
  jpeg_read_header(cinfo, TRUE);
  bool ok = true;
  if (cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK) {
    image_set_error(error, "CMYK JPEG is unsupported");
    ok = false;
  } else if (!decoded_image_alloc_limited(image, cinfo->image_width, cinfo->image_height,
                                          max_area, error)) {
    ok = false;
  }
  if (ok) {
    cinfo->out_color_space = JCS_RGB;
    cinfo->dct_method = JDCT_ISLOW;
    jpeg_start_decompress(cinfo);
    if (cinfo->output_width != image->width || cinfo->output_height != image->height ||
        cinfo->output_components != 3) {
      ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
    }
    const uint64_t row_bytes = static_cast<uint64_t>(image->width) * 3;
    while (cinfo->output_scanline < cinfo->output_height) {
      JSAMPROW row = image->pixels + row_bytes * cinfo->output_scanline;
      // The memory source never suspends; no progress means broken data.
      if (jpeg_read_scanlines(cinfo, &row, 1) != 1) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    }
    jpeg_finish_decompress(cinfo);
  }
  jpeg_destroy_decompress(cinfo);
  std::free(ctx);
  if (!ok) decoded_image_free(image);
  return ok;
}

}  // namespace vorn
