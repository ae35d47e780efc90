// SetBmpFile: signature text to BMP file, its failure codes and its log
// lines, and the pure decoder pieces beneath it.
#include "sign_bmp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "link_log.h"
#include "platform/files.h"
#include "support/temp_root.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kPixels = 62;  // offset of the pixel data in the file

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Fixture(const std::string& name) {
  return ReadFile(fs::path(OVT_FIXTURES) / "sign" / name);
}

// A fixture text file holds one line.
std::string FixtureText(const std::string& name) {
  std::string text = Fixture(name);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// A compressed signature text around `image_bytes` (N and the run stream).
std::string CompressedText(const Bytes& image_bytes) {
  return "0000" "31" "00" + std::string(40, '0') + Hex(image_bytes);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A first-stage literal copy of `bytes` (at most 128).
Bytes Literal(const Bytes& bytes) {
  Bytes out{static_cast<uint8_t>(-static_cast<int>(bytes.size()))};
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

// Second-stage bytes for `zeros` zero bytes (pairs of 0x00, count).
Bytes ZeroRuns(size_t zeros) {
  Bytes out;
  for (; zeros > 255; zeros -= 255) out.insert(out.end(), {0x00, 0xFF});
  if (zeros > 0) out.insert(out.end(), {0x00, static_cast<uint8_t>(zeros)});
  return out;
}

// N as packed decimal followed by `stream`, N = `n`.
Bytes WithLength(unsigned n, const Bytes& stream) {
  Bytes out{static_cast<uint8_t>((n / 1000) << 4 | (n / 100 % 10)),
            static_cast<uint8_t>((n / 10 % 10) << 4 | (n % 10))};
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

// A valid compressed image: first stage a single literal copy of `stage2`.
Bytes Compress(const Bytes& stage2) {
  Bytes stream;
  for (size_t i = 0; i < stage2.size(); i += 128) {
    const Bytes part(stage2.begin() + i, stage2.begin() + std::min(stage2.size(), i + 128));
    const Bytes lit = Literal(part);
    stream.insert(stream.end(), lit.begin(), lit.end());
  }
  return WithLength(static_cast<unsigned>(stage2.size()), stream);
}

// image[0] = 0x01, everything else zero: 01 00 FF 00 FF 00 FF 00 FF 00 03.
const Bytes kDotStage2 = Concat({{0x01}, ZeroRuns(1023)});

std::array<uint8_t, telquin::kSignatureImageSize> Expand(const Bytes& bytes, bool* ok) {
  std::array<uint8_t, telquin::kSignatureImageSize> image;
  image.fill(0xEE);
  *ok = telquin::ExpandSignatureImage(bytes.data(), bytes.size(), image.data());
  return image;
}

// --- pure expander ------------------------------------------------------

TEST(SignBmpExpand, FirstStageControls) {
  // Every case expands to image[0] = 0x01 and zeros.
  struct Case {
    const char* what;
    Bytes data;
  };
  const Case cases[] = {
      {"one literal copy", Compress(kDotStage2)},
      {"zero control bytes are skipped",
       WithLength(11, Concat({{0x00, 0x00}, Literal(kDotStage2), {0x00}}))},
      // 01 | 00 | FF | 00 FF | 00 | FF | 00 FF | 00 03
      {"runs of one and literals mixed",
       WithLength(11, Concat({Literal({0x01}), {0x01, 0x00}, {0x01, 0xFF}, Literal({0x00, 0xFF}),
                              {0x01, 0x00}, Literal({0xFF}), {0x01, 0x00, 0x01, 0xFF},
                              Literal({0x00, 0x03})}))},
      {"a literal copy past N is cut at N and may end the input there",
       WithLength(11, Concat({{static_cast<uint8_t>(-100)}, kDotStage2}))},
      {"a run past N is cut at N",
       WithLength(11, Concat({Literal(Bytes(kDotStage2.begin(), kDotStage2.end() - 1)),
                              {0x7F, 0x03}}))},
      {"bytes after the first N are ignored", Concat({Compress(kDotStage2), {0x55, 0xAA}})},
  };
  for (const auto& c : cases) {
    bool ok = false;
    const auto image = Expand(c.data, &ok);
    ASSERT_TRUE(ok) << c.what;
    EXPECT_EQ(image[0], 0x01) << c.what;
    for (size_t i = 1; i < image.size(); ++i) ASSERT_EQ(image[i], 0) << c.what << " at " << i;
  }
}

TEST(SignBmpExpand, LongRunsCopiesAndTheLongestFirstStage) {
  // Runs of 127 (the longest a control byte allows) up to 1024 ink bytes.
  Bytes runs;
  for (int i = 0; i < 8; ++i) runs.insert(runs.end(), {0x7F, 0xC3});
  runs.insert(runs.end(), {0x08, 0xC3});
  bool ok = false;
  auto image = Expand(WithLength(1024, runs), &ok);
  ASSERT_TRUE(ok);
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(image[i], 0xC3) << i;

  // -128 copies 128 bytes: 128 non-zero bytes, then zeros.
  Bytes stage2;
  for (int i = 0; i < 128; ++i) stage2.push_back(static_cast<uint8_t>(i + 1));
  stage2 = Concat({stage2, ZeroRuns(1024 - 128)});
  image = Expand(Compress(stage2), &ok);
  ASSERT_TRUE(ok);
  for (int i = 0; i < 128; ++i) ASSERT_EQ(image[i], i + 1);
  for (int i = 128; i < 1024; ++i) ASSERT_EQ(image[i], 0);

  // N = 1536, the largest: 512 x (byte, 00 01) gives 1024 bytes.
  Bytes longest;
  for (int i = 0; i < 512; ++i) longest.insert(longest.end(), {0xA5, 0x00, 0x01});
  ASSERT_EQ(longest.size(), 1536u);
  image = Expand(Compress(longest), &ok);
  ASSERT_TRUE(ok);
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(image[i], i % 2 == 0 ? 0xA5 : 0) << i;
}

TEST(SignBmpExpand, InvalidDataIsRefusedAndImageUntouched) {
  Bytes zero_pairs;  // 100 bytes of zero runs, 1024 zeros
  for (int i = 0; i < 49; ++i) zero_pairs.insert(zero_pairs.end(), {0x00, 20});
  zero_pairs.insert(zero_pairs.end(), {0x00, 44});
  Bytes too_many_literals(1025, 0x11);  // 1025 non-zero bytes (N 1025)
  Bytes longest_too_long;               // 1537 bytes of otherwise valid stage-2 data
  for (int i = 0; i < 511; ++i) longest_too_long.insert(longest_too_long.end(), {0xA5, 0x00, 0x01});
  longest_too_long.insert(longest_too_long.end(), {0x00, 0x01, 0x00, 0x01});
  struct Case {
    const char* what;
    Bytes data;
  };
  const Case cases[] = {
      {"nothing at all", {}},
      {"half a length", {0x00}},
      {"N = 0 (empty result)", WithLength(0, {})},
      // Read as plain nibbles, these lengths (100 and 11) would fit the data.
      {"N nibble not decimal (high)", Concat({{0x00, 0xA0}, Literal(zero_pairs)})},
      {"N nibble not decimal (low)", Concat({{0x00, 0x0B}, Literal(kDotStage2)})},
      {"N = 1537", WithLength(1537, Literal(Bytes(128, 1)))},
      {"N = 1537 with enough data", Compress(longest_too_long)},
      {"stream ends before N bytes", WithLength(12, Literal(kDotStage2))},
      {"run without its byte", WithLength(12, Concat({Literal(kDotStage2), {0x01}}))},
      {"literal copy cut short by the input",
       WithLength(11, Concat({{static_cast<uint8_t>(-11)}, Bytes(kDotStage2.begin(),
                                                                 kDotStage2.end() - 1)}))},
      {"expansion ends at 1023", Compress(Concat({{0x01}, ZeroRuns(1022)}))},
      {"zero run passes 1024", Compress(Concat({{0x01}, ZeroRuns(1022), {0x00, 0x02}}))},
      {"literal byte at 1024", Compress(Concat({{0x01}, ZeroRuns(1023), {0x07}}))},
      {"literal bytes only, 1025 of them", Compress(too_many_literals)},
      {"zero byte at the very end without a count", Compress(Concat({ZeroRuns(1024), {0x00}}))},
  };
  for (const auto& c : cases) {
    bool ok = true;
    const auto image = Expand(c.data, &ok);
    EXPECT_FALSE(ok) << c.what;
    for (uint8_t b : image) ASSERT_EQ(b, 0xEE) << c.what;
  }
  EXPECT_FALSE(telquin::ExpandSignatureImage(nullptr, 5, nullptr));
}

// --- text framing and flag -----------------------------------------------

TEST(SignBmpDecodeText, FlagAndFraming) {
  const std::string dot_hex = Hex(Compress(kDotStage2));
  const std::string skipped(40, '0');
  struct Case {
    const char* what;
    std::string text;
    bool ok;
    bool dot;  // expected image: the dot, else all zero
  };
  const Case cases[] = {
      {"flag 31: compressed", "0000" "31" "00" + skipped + dot_hex, true, true},
      {"flag computed, not compared as text: \"2A\" is 49", "0000" "2A" "00" + skipped + dot_hex,
       true, true},
      {"lower-case hex", "0000" "31" "00" + skipped + "0011f50100ff00ff00ff00ff0003", true, true},
      {"any other flag: white, data not examined", "0000" "30" "00" "zz", true, false},
      {"flag 13", "0000" "13" "00" + skipped + dot_hex, true, false},
      {"flag bytes above 0x7F", "0000" "\xB1\xB1" "00" + skipped + dot_hex, true, false},
      {"exactly 6 characters, not compressed", "000030", true, false},
      {"5 characters", "00003", false, false},
      {"codes are unsigned: \".\\x81\" is 49", "0000" ".\x81" "00" + skipped + dot_hex, true,
       true},
      {"compressed, 50 characters: no room for N", "0000" "31" "00" + skipped + "00", false,
       false},
      {"compressed, 51 characters", "0000" "31" "00" + skipped + "000", false, false},
      {"odd number of hex characters", "0000" "31" "00" + skipped + dot_hex + "0", false, false},
      {"non-hex in the skipped bytes",
       "0000" "31" "00" + std::string(39, '0') + "G" + dot_hex, false, false},
      {"non-hex in the image", "0000" "31" "00" + skipped + dot_hex.substr(0, 10) + "x" +
                                   dot_hex.substr(11), false, false},
      {"non-hex after the N bytes used", "0000" "31" "00" + skipped + dot_hex + " 0", false, false},
  };
  for (const auto& c : cases) {
    std::array<uint8_t, telquin::kSignatureImageSize> image;
    image.fill(0xEE);
    const bool ok = telquin::DecodeSignatureText(c.text.data(), c.text.size(), image.data());
    ASSERT_EQ(ok, c.ok) << c.what;
    if (!ok) {
      for (uint8_t b : image) ASSERT_EQ(b, 0xEE) << c.what;
      continue;
    }
    EXPECT_EQ(image[0], c.dot ? 0x01 : 0x00) << c.what;
    for (size_t i = 1; i < image.size(); ++i) ASSERT_EQ(image[i], 0) << c.what;
  }
}

// --- bitmap layout -------------------------------------------------------

TEST(SignBmpBuild, PixelPlacement) {
  // One ink pixel at a time: image byte and bit -> file byte and its value.
  struct Case {
    const char* what;
    size_t image_index;
    int bit;
    size_t file_offset;  // from the start of the pixel data
    uint8_t file_value;
  };
  const Case cases[] = {
      {"top-left is the first bit of the last file row", 0, 0, 63 * 16 + 0, 0x7F},
      {"top-right", 127, 0, 63 * 16 + 15, 0xFE},
      {"bottom-left is the first bit of the first file row", 7 * 128 + 0, 7, 0, 0x7F},
      {"bottom-right", 7 * 128 + 127, 7, 15, 0xFE},
      {"row 9 column 10", 128 + 10, 1, (63 - 9) * 16 + 1, 0xDF},
  };
  for (const auto& c : cases) {
    std::array<uint8_t, telquin::kSignatureImageSize> image{};
    image[c.image_index] = static_cast<uint8_t>(1 << c.bit);
    const auto bmp = telquin::BuildSignatureBmp(image.data());
    for (size_t i = 0; i < 1024; ++i) {
      const uint8_t expected = i == c.file_offset ? c.file_value : 0xFF;
      ASSERT_EQ(bmp[kPixels + i], expected) << c.what << " at pixel byte " << i;
    }
  }
}

// --- SetBmpFile: files, failure codes and log lines -----------------------

// A temporary data root (where the link log goes) that also takes the
// files written and, for tests that ask, is the current directory.
class SignBmpFile : public ::testing::Test {
 protected:
  void SetUp() override { old_cwd_ = fs::current_path(); }
  void TearDown() override { fs::current_path(old_cwd_); }

  // The log lines without their time stamp (the 20 characters before the
  // number) and without CR LF, in the order written.
  std::vector<std::string> LogLines() const {
    std::vector<fs::path> files;
    const fs::path log_dir = platform::DataPath(telquin::kLinkLogDirectory);
    if (fs::exists(log_dir)) {
      for (const auto& entry : fs::directory_iterator(log_dir)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());  // a test that spans midnight
    std::vector<std::string> lines;
    for (const auto& file : files) {
      std::istringstream in(ReadFile(file));
      std::string line;
      while (std::getline(in, line)) {
        EXPECT_TRUE(line.size() >= 21 && line.back() == '\r') << line;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line.size() > 20 ? line.substr(20) : line);
      }
    }
    return lines;
  }

  static std::string Line(const std::string& name, const std::string& text) {
    std::string padded = name;
    padded.resize(17, ' ');
    return "[000000] [" + padded + "] [" + text + "]";
  }

  int Call(const std::string& text, int length, const std::string& path) {
    return telquin::WriteSignatureBmp(text.c_str(), length, path.c_str());
  }

  ovt_test::TempRoot root_;
  const fs::path dir_ = root_.path();
  fs::path old_cwd_;
};

TEST_F(SignBmpFile, WritesTheExpectedBitmaps) {
  const char* const fixtures[] = {"uncompressed", "dot_top_left", "frame_diagonal"};
  for (const char* name : fixtures) {
    SCOPED_TRACE(name);
    const std::string text = FixtureText(std::string(name) + ".txt");
    const std::string path = (dir_ / (std::string(name) + ".bmp")).string();
    ASSERT_EQ(Call(text, static_cast<int>(text.size()), path), 1);
    const std::string written = ReadFile(path);
    ASSERT_EQ(written.size(), telquin::kSignatureBmpSize);
    EXPECT_TRUE(written == Fixture(std::string(name) + ".bmp"));
  }
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            Line("SetBmpFile", (dir_ / "uncompressed.bmp").string()),
                            Line("SetBmpFile", "ret : 1"),
                            Line("SetBmpFile", (dir_ / "dot_top_left.bmp").string()),
                            Line("SetBmpFile", "ret : 1"),
                            Line("SetBmpFile", (dir_ / "frame_diagonal.bmp").string()),
                            Line("SetBmpFile", "ret : 1"),
                        }));
}

TEST_F(SignBmpFile, OverwritesAnExistingFile) {
  const std::string path = (dir_ / "sign.bmp").string();
  std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
  const std::string text = FixtureText("dot_top_left.txt");
  ASSERT_EQ(Call(text, static_cast<int>(text.size()), path), 1);
  EXPECT_TRUE(ReadFile(path) == Fixture("dot_top_left.bmp"));
}

TEST_F(SignBmpFile, NoPathMeansSigndataBmpInTheCurrentDirectory) {
  fs::current_path(dir_);
  const std::string text = FixtureText("dot_top_left.txt");
  const int length = static_cast<int>(text.size());

  ASSERT_EQ(telquin::WriteSignatureBmp(text.c_str(), length, ""), 1);
  EXPECT_TRUE(ReadFile(dir_ / "Signdata.bmp") == Fixture("dot_top_left.bmp"));
  fs::remove(dir_ / "Signdata.bmp");

  ASSERT_EQ(telquin::WriteSignatureBmp(text.c_str(), length, nullptr), 1);
  EXPECT_TRUE(ReadFile(dir_ / "Signdata.bmp") == Fixture("dot_top_left.bmp"));

  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            Line("SetBmpFile", ""), Line("SetBmpFile", "ret : 1"),
                            Line("SetBmpFile", ""), Line("SetBmpFile", "ret : 1")}));
}

TEST_F(SignBmpFile, LengthMismatchIsMinus3WithBothLengthsLogged) {
  const std::string text = FixtureText("dot_top_left.txt");  // 76 characters
  const std::string path = (dir_ / "sign.bmp").string();
  struct Case {
    int length;
    const char* logged;
  };
  const Case cases[] = {{75, "75"}, {77, "77"}, {0, "0"}, {-1, "-1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    const size_t lines_before = LogLines().size();
    EXPECT_EQ(Call(text, c.length, path), -3);
    EXPECT_FALSE(fs::exists(path));
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), lines_before + 3);
    EXPECT_EQ(lines[lines_before], Line("SetBmpFile", path));
    EXPECT_EQ(lines[lines_before + 1], Line("strlen(SignData)", "76"));
    EXPECT_EQ(lines[lines_before + 2], Line("SignLen", c.logged));
  }

  // No text at all: nothing to measure.
  EXPECT_EQ(telquin::WriteSignatureBmp(nullptr, 0, path.c_str()), -3);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(SignBmpFile, InvalidImageIsMinus2AndLeavesNoFile) {
  const std::string path = (dir_ / "sign.bmp").string();
  const std::string keep = (dir_ / "keep.bmp").string();
  std::ofstream(keep, std::ios::binary) << "previous";
  const std::string texts[] = {
      "0003",                                                         // too short
      CompressedText(Compress(Concat({{0x01}, ZeroRuns(1022)}))),     // 1023 bytes
      CompressedText(Compress(Concat({{0x01}, ZeroRuns(1023), {1}}))),  // 1025 bytes
      CompressedText(WithLength(1537, Literal(Bytes(128, 1)))),       // N too large
      CompressedText(Compress(kDotStage2)) + "Z0",                    // not hex
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    const size_t lines_before = LogLines().size();
    EXPECT_EQ(Call(text, static_cast<int>(text.size()), path), -2);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(Call(text, static_cast<int>(text.size()), keep), -2);
    EXPECT_EQ(ReadFile(keep), "previous");
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), lines_before + 4);
    EXPECT_EQ(lines[lines_before], Line("SetBmpFile", path));
    EXPECT_EQ(lines[lines_before + 1], Line("SetBmpFile", "ret : -2"));
  }
}

TEST_F(SignBmpFile, UncreatableFileIsMinus5) {
  const std::string text = FixtureText("dot_top_left.txt");
  const std::string path = (dir_ / "no_such_dir" / "sign.bmp").string();
  EXPECT_EQ(Call(text, static_cast<int>(text.size()), path), -5);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{Line("SetBmpFile", path),
                                                  Line("SetBmpFile", "fopen fail"),
                                                  Line("SetBmpFile", "ret : -5")}));
}

TEST_F(SignBmpFile, FailedWriteIsNotReportedAsWritten) {
  // /dev/full opens but takes no data: the write must not count as done.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string text = FixtureText("dot_top_left.txt");
  EXPECT_EQ(Call(text, static_cast<int>(text.size()), "/dev/full"), -5);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{Line("SetBmpFile", "/dev/full"),
                                                  Line("SetBmpFile", "fwrite fail"),
                                                  Line("SetBmpFile", "ret : -5")}));
}

}  // namespace
