// JPEG files decoded with libjpeg directly into RGB pictures for the preview.
#pragma once

#include <QImage>

#include <cstdint>
#include <cstdio>
#include <string>

namespace app {

// Larger pictures are refused before their pixels are decoded, so a small
// file that claims a huge size cannot take the memory.
inline constexpr std::uint64_t kMaxJpegPixels = 100'000'000;

// Decodes the whole file into out (Format_RGB888). Grey and CMYK pictures
// come out as RGB. A damaged or truncated file, a picture above
// kMaxJpegPixels or one that cannot be read returns false with the reason in
// *error (when given); out is then left as it was.
bool DecodeJpegFile(const std::string& path, QImage& out, std::string* error = nullptr);

// The same from an open file, read from its current position.
bool DecodeJpegStream(std::FILE* file, QImage& out, std::string* error = nullptr);

} // namespace app
