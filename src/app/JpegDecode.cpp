#include "app/JpegDecode.hpp"

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace app {
namespace {

// libjpeg's default error handler ends the process; this one jumps back to
// the decoder with the message instead.
struct ErrorTrap {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void TrapError(j_common_ptr cinfo)
{
    auto* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, trap->message);
    std::longjmp(trap->jump, 1);
}

// libjpeg only warns about corrupt or missing data and fills the rest with
// grey; a half-downloaded picture must not pass for a whole one.
void TrapMessage(j_common_ptr cinfo, int level)
{
    if (level < 0)
        TrapError(cinfo);
}

struct RawPicture {
    unsigned char* pixels; // malloc'ed, rows of stride bytes, RGB
    int width;
    int height;
    std::size_t stride;
};

// CMYK as Adobe writes it is stored inverted (0 = full ink).
void CmykToRgb(const unsigned char* cmyk, unsigned char* rgb, int width, bool inverted)
{
    for (int x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        rgb[0] = static_cast<unsigned char>(c * k / 255);
        rgb[1] = static_cast<unsigned char>(m * k / 255);
        rgb[2] = static_cast<unsigned char>(y * k / 255);
    }
}

// Plain C-style on purpose: longjmp comes back into this frame, so nothing
// here may have a destructor, and what is read after the jump is volatile.
bool DecodeRaw(std::FILE* file, RawPicture* out, ErrorTrap* trap)
{
    jpeg_decompress_struct cinfo;
    unsigned char* volatile pixels = nullptr;
    unsigned char* volatile cmykRow = nullptr;

    cinfo.err = jpeg_std_error(&trap->pub);
    trap->pub.error_exit = TrapError;
    trap->pub.emit_message = TrapMessage;
    trap->message[0] = '\0';
    if (setjmp(trap->jump)) {
        jpeg_destroy_decompress(&cinfo);
        std::free(pixels);
        std::free(cmykRow);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);

    const std::uint64_t area = std::uint64_t(cinfo.image_width) * cinfo.image_height;
    bool cmyk = false;
    const char* refusal = nullptr;
    if (area > kMaxJpegPixels)
        refusal = "picture too large";
    else if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
        cinfo.out_color_space = JCS_CMYK;
        cmyk = true;
    } else if (cinfo.jpeg_color_space == JCS_GRAYSCALE || cinfo.jpeg_color_space == JCS_YCbCr
               || cinfo.jpeg_color_space == JCS_RGB)
        cinfo.out_color_space = JCS_RGB;
    else
        refusal = "unsupported colour space";
    if (refusal) {
        std::snprintf(trap->message, sizeof trap->message, "%s (%ux%u, %d components)", refusal,
                      cinfo.image_width, cinfo.image_height, cinfo.num_components);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }

    jpeg_start_decompress(&cinfo);
    const int width = static_cast<int>(cinfo.output_width);
    const int height = static_cast<int>(cinfo.output_height);
    // QImage wants rows aligned to 4 bytes.
    const std::size_t stride = (std::size_t(width) * 3 + 3) & ~std::size_t(3);
    pixels = static_cast<unsigned char*>(std::malloc(stride * height));
    if (cmyk)
        cmykRow = static_cast<unsigned char*>(std::malloc(std::size_t(width) * 4));
    if (!pixels || (cmyk && !cmykRow)) {
        std::snprintf(trap->message, sizeof trap->message, "out of memory");
        std::longjmp(trap->jump, 1);
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        unsigned char* dest = pixels + stride * cinfo.output_scanline;
        JSAMPROW row = cmyk ? cmykRow : dest;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) {
            // Only a suspending source returns no row; the stdio one never should.
            std::snprintf(trap->message, sizeof trap->message, "no data");
            std::longjmp(trap->jump, 1);
        }
        if (cmyk)
            CmykToRgb(cmykRow, dest, width, cinfo.saw_Adobe_marker);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::free(cmykRow);
    out->pixels = pixels;
    out->width = width;
    out->height = height;
    out->stride = stride;
    return true;
}

void FreePixels(void* pixels)
{
    std::free(pixels);
}

} // namespace

bool DecodeJpegStream(std::FILE* file, QImage& out, std::string* error)
{
    ErrorTrap trap;
    RawPicture raw {};
    if (!DecodeRaw(file, &raw, &trap)) {
        if (error)
            *error = trap.message[0] ? trap.message : "cannot decode the picture";
        return false;
    }
    // The image takes the buffer over and frees it.
    out = QImage(raw.pixels, raw.width, raw.height, static_cast<qsizetype>(raw.stride),
                 QImage::Format_RGB888, FreePixels, raw.pixels);
    return true;
}

bool DecodeJpegFile(const std::string& path, QImage& out, std::string* error)
{
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file) {
        if (error)
            *error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = DecodeJpegStream(file, out, error);
    std::fclose(file);
    return ok;
}

} // namespace app
