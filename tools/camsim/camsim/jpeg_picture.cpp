#include "camsim/jpeg_picture.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace camsim {
namespace {

constexpr int kMaxDimension = 4096;

// libjpeg's default error handler exits the process; this one returns to EncodeTestPicture.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
  // base is the first member, so the error manager's address is the ErrorManager's.
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void FillRow(int y, int width, int height, int frame, int frames, std::vector<JSAMPLE>* row) {
  static constexpr unsigned char kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235},
                                                {16, 235, 16},   {235, 16, 235}, {235, 16, 16},
                                                {16, 16, 235},   {16, 16, 16}};
  const int ramp = 255 * y / (height > 1 ? height - 1 : 1);
  // A frame of a loop carries an inverted column band whose place moves with the frame number.
  const int band_start = frames > 0 ? frame * width / frames : width;
  const int band_end = frames > 0 ? std::max(band_start + 1, (frame + 1) * width / frames) : width;
  for (int x = 0; x < width; ++x) {
    const int bar = x * 8 / width;
    const bool inverted = x >= band_start && x < band_end;
    for (int c = 0; c < 3; ++c) {
      // The lower quarter is a grey ramp, so the picture has both edges and smooth areas.
      const int value = y * 4 >= height * 3 ? ramp : kBars[bar][c];
      (*row)[static_cast<std::size_t>(x * 3 + c)] =
          static_cast<JSAMPLE>(inverted ? 255 - value : value);
    }
  }
}

// frames 0: the still test picture; else frame `frame` of a loop of `frames`.
std::string Encode(int width, int height, int quality, int frame, int frames) {
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) return {};
  std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * 3);
  jpeg_compress_struct info{};
  ErrorManager errors{};
  unsigned char* buffer = nullptr;
  unsigned long size = 0;

  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnJpegError;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return {};
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality < 1 ? 1 : (quality > 100 ? 100 : quality), TRUE);
  jpeg_start_compress(&info, TRUE);
  if (frames > 0) {
    // The frame number in a comment keeps the frames' bytes distinct even when the pictures are
    // too small for the band to tell them apart.
    const std::string comment =
        "camsim frame " + std::to_string(frame) + "/" + std::to_string(frames);
    jpeg_write_marker(&info, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                      static_cast<unsigned>(comment.size()));
  }
  while (info.next_scanline < info.image_height) {
    FillRow(static_cast<int>(info.next_scanline), width, height, frame, frames, &row);
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  std::string picture(reinterpret_cast<const char*>(buffer), size);
  jpeg_destroy_compress(&info);
  std::free(buffer);
  return picture;
}

}  // namespace

std::string EncodeTestPicture(int width, int height, int quality) {
  return Encode(width, height, quality, 0, 0);
}

std::vector<std::string> EncodeTestLoop(int width, int height, int quality, int frames) {
  std::vector<std::string> loop;
  for (int frame = 0; frame < frames; ++frame) {
    loop.push_back(Encode(width, height, quality, frame, frames));
    if (loop.back().empty()) return {};
  }
  return loop;
}

}  // namespace camsim
