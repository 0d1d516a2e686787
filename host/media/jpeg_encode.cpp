// Pictures sent to a page as JPEG: a fraction of a PNG's encoding time for camera pictures.
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "host/media/media.h"

namespace host {
namespace {

// libjpeg ends the process on an error unless told otherwise: back to the caller instead.
struct JpegFailure {
  jpeg_error_mgr manager;
  std::jmp_buf back;
  char message[JMSG_LENGTH_MAX];
};

void ReturnToCaller(j_common_ptr info) {
  auto* failure = reinterpret_cast<JpegFailure*>(info->err);
  (*info->err->format_message)(info, failure->message);
  std::longjmp(failure->back, 1);
}

// Kept free of objects with destructors: a failure jumps back into it.
bool Compress(const RgbaFrame& frame, int quality, unsigned char** out, unsigned long* size, JpegFailure& failure) {
  jpeg_compress_struct info;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = &ReturnToCaller;
  if (setjmp(failure.back) != 0) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, out, size);
  info.image_width = JDIMENSION(frame.width);
  info.image_height = JDIMENSION(frame.height);
  info.input_components = 4;
  info.in_color_space = JCS_EXT_RGBA;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  // Colour at full resolution: edges a mask follows must not bleed.
  for (int c = 0; c < info.num_components; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  info.dct_method = JDCT_ISLOW;
  jpeg_start_compress(&info, TRUE);
  const size_t stride = size_t(frame.width) * 4;
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(frame.pixels.data() + stride * info.next_scanline);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

}  // namespace

bool EncodeJpeg(const RgbaFrame& frame, int quality, std::vector<uint8_t>& bytes, std::string& error) {
  if (frame.width <= 0 || frame.height <= 0 || frame.pixels.size() != size_t(frame.width) * size_t(frame.height) * 4) {
    error = "cannot encode a picture whose pixels do not match its size";
    return false;
  }
  if (quality < 1 || quality > 100) {
    error = "JPEG quality must be from 1 to 100";
    return false;
  }
  unsigned char* out = nullptr;
  unsigned long size = 0;
  JpegFailure failure{};
  const bool ok = Compress(frame, quality, &out, &size, failure);
  if (ok) bytes.assign(out, out + size);
  else error = std::string("cannot encode JPEG: ") + failure.message;
  std::free(out);
  return ok;
}

}  // namespace host
