// libjpeg's decoder for the tests: whether a picture decodes cleanly, and its pixels.
#pragma once

#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <string_view>
#include <vector>

#include <jpeglib.h>

namespace camsim_test {

struct DecodedPicture {
  bool ok = false;
  int width = 0;
  int height = 0;
  int components = 0;
  std::vector<unsigned char> pixels;
};

struct DecodeErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

inline void OnDecodeError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<DecodeErrors*>(info->err)->jump, 1);
}

inline DecodedPicture Decode(std::string_view jpeg) {
  DecodedPicture picture;
  jpeg_decompress_struct info{};
  DecodeErrors errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnDecodeError;
  errors.base.output_message = [](j_common_ptr) {};
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    picture.ok = false;
    return picture;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    return picture;
  }
  jpeg_start_decompress(&info);
  picture.width = static_cast<int>(info.output_width);
  picture.height = static_cast<int>(info.output_height);
  picture.components = info.output_components;
  picture.pixels.resize(static_cast<std::size_t>(picture.width) * picture.height *
                        picture.components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = picture.pixels.data() + static_cast<std::size_t>(info.output_scanline) *
                                               picture.width * picture.components;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  // Corrupt data is reported as warnings while decoding goes on; a clean picture has none.
  picture.ok = errors.base.num_warnings == 0;
  jpeg_destroy_decompress(&info);
  return picture;
}

}  // namespace camsim_test
