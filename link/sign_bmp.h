// The terminal's signature text as a 128 x 64 monochrome BMP file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace telquin {

// What the SetBmpFile export does: 1 written, -2 invalid image data, -3 the
// length does not match the text, -5 the file could not be created.
int WriteSignatureBmp(const char* sign_data, int sign_len, const char* path);

// The image: 128 columns x 64 rows in 8 pages of 128 bytes; byte 128 * p + x
// holds column x of rows 8p..8p+7, bit n = row 8p+n, a set bit is ink.
inline constexpr size_t kSignatureImageSize = 1024;
// The file: 62-byte header (with the two-colour palette) + 1024 pixel bytes.
inline constexpr size_t kSignatureBmpSize = 1086;

// Expands a compressed image (two bytes of packed-decimal length N, then the
// run-length stream) into `image`. False when the data is invalid; `image`
// is then left as it was. Reads only bytes[0..n).
bool ExpandSignatureImage(const uint8_t* bytes, size_t n,
                          uint8_t image[kSignatureImageSize]);

// Turns the whole signature text (its first `length` characters) into image
// data: an all-zero image when the text is not flagged as compressed, the
// expanded image when it is. False when the text is too short or its
// compressed image is invalid; `image` is then left as it was.
bool DecodeSignatureText(const char* text, size_t length,
                         uint8_t image[kSignatureImageSize]);

// The BMP file for an image: the picture upright, ink black on white.
std::array<uint8_t, kSignatureBmpSize> BuildSignatureBmp(
    const uint8_t image[kSignatureImageSize]);

}  // namespace telquin
