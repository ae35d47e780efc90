// SetBmpFile: signature text -> image data -> 1086-byte BMP file.
//
// The text is decoded in two pure steps (DecodeSignatureText, which checks
// the frame of the text and the hex, and ExpandSignatureImage, which runs
// the two decompression stages) and turned into the file image by
// BuildSignatureBmp. All of them work on growing containers or on buffers
// whose size the checks guarantee: no input can make them write past an end.
#include "sign_bmp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link_log.h"

namespace telquin {
namespace {

// Log name of the call's own lines; all of them carry the number 0.
constexpr const char* kLogName = "SetBmpFile";

// Written when the caller gives no path (NULL or ""): a relative name, so
// the file lands in the caller's current directory. A given path is used
// exactly as given, whatever its length.
constexpr const char* kDefaultPath = "Signdata.bmp";

// Characters 4 and 5 hold the compression flag. A text too short to hold
// them (under 6 characters) is invalid image data (-2), not a white image.
constexpr size_t kFlagOffset = 4;
constexpr size_t kMinTextLength = 6;

// flag = (code of char 4 - 48) * 16 + (code of char 5 - 48), the codes taken
// as unsigned 8-bit values. 49 ("31") means compressed; any other value
// gives an all-white image and the rest of the text is not examined.
constexpr int kCompressedFlag = 49;

// The hex text begins at character 8; its first 20 bytes are not used.
constexpr size_t kHexOffset = 8;
constexpr size_t kSkippedBytes = 20;

// A compressed text must hold the 20 skipped bytes and the two bytes of N:
// at least 48 + 4 characters. There is no upper limit beyond what the
// expansion implies (bytes after the N first-stage bytes are ignored), but
// every character from 8 on must be a hex digit and their number even.
constexpr size_t kMinCompressedTextLength = kHexOffset + 2 * kSkippedBytes + 4;

// N, the first stage's output length: two bytes of packed decimal (every
// nibble 0-9, else invalid), at most 1536.
constexpr size_t kLengthBytes = 2;
constexpr unsigned kMaxFirstStageLength = 1536;

// BMP layout: file header 14 + information header 40 + palette 2 x 4.
constexpr uint32_t kPixelOffset = 62;
constexpr int kWidth = 128;
constexpr int kHeight = 64;
constexpr int kRowBytes = kWidth / 8;
constexpr uint32_t kPixelsPerMetre = 3780;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void Put16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value) {
  Put16(at, value);
  Put16(at + 2, value >> 16);
}

// Steps after the length check: 1 written, -2 invalid data, -5 no file.
int WriteImageFile(const char* text, size_t length, const char* path) {
  uint8_t image[kSignatureImageSize];
  if (!DecodeSignatureText(text, length, image)) return -2;

  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    WriteLinkLog(0, kLogName, "fopen fail");
    return -5;
  }
  const auto bmp = BuildSignatureBmp(image);
  const size_t written = std::fwrite(bmp.data(), 1, bmp.size(), file);
  // fclose flushes the buffered bytes: a full disk shows up here.
  const bool closed = std::fclose(file) == 0;
  if (written != bmp.size() || !closed) {
    // An incomplete file must not be reported as written.
    WriteLinkLog(0, kLogName, "fwrite fail");
    return -5;
  }
  return 1;
}

}  // namespace

bool ExpandSignatureImage(const uint8_t* bytes, size_t n,
                          uint8_t image[kSignatureImageSize]) {
  if (bytes == nullptr || n < kLengthBytes) return false;

  unsigned first_stage_length = 0;
  for (size_t i = 0; i < kLengthBytes; ++i) {
    const unsigned high = bytes[i] >> 4;
    const unsigned low = bytes[i] & 0x0F;
    if (high > 9 || low > 9) return false;
    first_stage_length = first_stage_length * 100 + high * 10 + low;
  }
  if (first_stage_length > kMaxFirstStageLength) return false;

  // First stage: signed control byte c; c > 0 repeats the next byte c times,
  // c < 0 copies the next -c bytes (-128 copies 128), c = 0 is skipped. Only
  // the first N bytes count: a run or copy that overshoots N is cut there.
  // Input that ends before N bytes are produced is invalid.
  std::vector<uint8_t> runs;
  runs.reserve(first_stage_length);
  size_t pos = kLengthBytes;
  while (runs.size() < first_stage_length) {
    if (pos >= n) return false;
    const int control = static_cast<int8_t>(bytes[pos++]);
    const size_t room = first_stage_length - runs.size();
    if (control > 0) {
      if (pos >= n) return false;
      const uint8_t value = bytes[pos++];
      runs.insert(runs.end(), std::min<size_t>(static_cast<size_t>(control), room), value);
    } else if (control < 0) {
      const size_t take = std::min<size_t>(static_cast<size_t>(-control), room);
      if (n - pos < take) return false;
      runs.insert(runs.end(), bytes + pos, bytes + pos + take);
      pos += take;
    }
  }

  // Second stage: a non-zero byte is itself; a zero byte and the count byte
  // after it stand for that many zeros. A zero as the very last byte has no
  // count and is invalid. The result must fill the image exactly.
  uint8_t out[kSignatureImageSize] = {};
  size_t filled = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i] != 0) {
      if (filled >= kSignatureImageSize) return false;
      out[filled++] = runs[i];
      continue;
    }
    if (i + 1 >= runs.size()) return false;
    const size_t zeros = runs[++i];
    if (zeros > kSignatureImageSize - filled) return false;
    filled += zeros;  // `out` is already zero there
  }
  if (filled != kSignatureImageSize) return false;

  std::memcpy(image, out, kSignatureImageSize);
  return true;
}

bool DecodeSignatureText(const char* text, size_t length,
                         uint8_t image[kSignatureImageSize]) {
  if (text == nullptr || length < kMinTextLength) return false;

  const auto code = [text](size_t i) {
    return static_cast<int>(static_cast<unsigned char>(text[i]));
  };
  const int flag = (code(kFlagOffset) - 48) * 16 + (code(kFlagOffset + 1) - 48);
  if (flag != kCompressedFlag) {
    std::memset(image, 0, kSignatureImageSize);
    return true;
  }

  if (length < kMinCompressedTextLength || (length - kHexOffset) % 2 != 0) return false;
  std::vector<uint8_t> bytes((length - kHexOffset) / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexValue(text[kHexOffset + 2 * i]);
    const int low = HexValue(text[kHexOffset + 2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return ExpandSignatureImage(bytes.data() + kSkippedBytes, bytes.size() - kSkippedBytes,
                              image);
}

std::array<uint8_t, kSignatureBmpSize> BuildSignatureBmp(
    const uint8_t image[kSignatureImageSize]) {
  std::array<uint8_t, kSignatureBmpSize> bmp{};
  uint8_t* h = bmp.data();
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 2, static_cast<uint32_t>(kSignatureBmpSize));
  Put32(h + 6, 0);
  Put32(h + 10, kPixelOffset);
  Put32(h + 14, 40);
  Put32(h + 18, kWidth);
  Put32(h + 22, kHeight);  // positive: bottom row first
  Put16(h + 26, 1);        // planes
  Put16(h + 28, 1);        // bits per pixel
  Put32(h + 30, 0);        // no compression
  Put32(h + 34, static_cast<uint32_t>(kSignatureImageSize));
  Put32(h + 38, kPixelsPerMetre);
  Put32(h + 42, kPixelsPerMetre);
  Put32(h + 46, 0);
  Put32(h + 50, 0);
  // Palette: index 0 black, index 1 white (blue, green, red, reserved).
  Put32(h + 54, 0x00000000);
  Put32(h + 58, 0x00FFFFFF);

  uint8_t* pixels = h + kPixelOffset;
  for (int row = 0; row < kHeight; ++row) {
    uint8_t* line = pixels + (kHeight - 1 - row) * kRowBytes;
    const uint8_t* page = image + (row / 8) * kWidth;
    const int bit = row % 8;
    for (int x = 0; x < kWidth; ++x) {
      if ((page[x] >> bit) & 1) line[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
    // Ink is palette index 0.
    for (int i = 0; i < kRowBytes; ++i) line[i] = static_cast<uint8_t>(~line[i]);
  }
  return bmp;
}

int WriteSignatureBmp(const char* sign_data, int sign_len, const char* path) {
  WriteLinkLog(0, kLogName, path != nullptr ? path : "");

  // No text: nothing to measure, so the length cannot match.
  if (sign_data == nullptr) return -3;
  const size_t real_length = std::strlen(sign_data);
  if (sign_len < 0 || real_length != static_cast<size_t>(sign_len)) {
    WriteLinkLog(0, "strlen(SignData)", std::to_string(real_length).c_str());
    WriteLinkLog(0, "SignLen", std::to_string(sign_len).c_str());
    return -3;
  }

  const char* target = (path != nullptr && path[0] != '\0') ? path : kDefaultPath;
  const int result = WriteImageFile(sign_data, real_length, target);
  WriteLinkLog(0, kLogName, ("ret : " + std::to_string(result)).c_str());
  return result;
}

}  // namespace telquin
