// Live-view frames as JPEG, through libjpeg-turbo's libjpeg interface.

#include "CameraState.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace zarv::vcam {

namespace {

// libjpeg's own error handler exits the process; ours jumps back to the encoder.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void onError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void compress(jpeg_compress_struct* info, const uint8_t* rgb, uint32_t width, uint32_t height,
              int quality, unsigned char** bytes, unsigned long* size) {
    jpeg_create_compress(info);
    jpeg_mem_dest(info, bytes, size);
    info->image_width = width;
    info->image_height = height;
    info->input_components = 3;
    info->in_color_space = JCS_RGB;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, quality, TRUE);
    info->dct_method = JDCT_IFAST;
    jpeg_start_compress(info, TRUE);
    while (info->next_scanline < info->image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t(info->next_scanline) * width * 3);
        jpeg_write_scanlines(info, &row, 1);
    }
    jpeg_finish_compress(info);
}

// Nothing between setjmp and a longjmp back to it has a destructor to skip: the work is done in
// plain C frames below.
bool encodeInto(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
                unsigned char** bytes, unsigned long* size) {
    jpeg_compress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    compress(&info, rgb, width, height, quality, bytes, size);
    jpeg_destroy_compress(&info);
    return true;
}

} // namespace

bool encodeJpeg(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
                std::vector<uint8_t>* out) {
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    const bool ok = encodeInto(rgb, width, height, quality, &bytes, &size);
    if (ok)
        out->assign(bytes, bytes + size);
    std::free(bytes); // the library's buffer, made with malloc
    return ok && size > 0;
}

} // namespace zarv::vcam
