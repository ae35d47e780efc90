// Client frames parsed whole and at every split, the payload length
// reader, and server frames built at every capacity.
#include "websocket/frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using agent::WS_BINARY_FRAME;
using agent::WS_CLOSING_FRAME;
using agent::WS_ERROR_FRAME;
using agent::WS_INCOMPLETE_FRAME;
using agent::WS_PING_FRAME;
using agent::WS_PONG_FRAME;
using agent::WS_TEXT_FRAME;
using agent::WsFrameType;

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kKey[4] = {0x37, 0xfa, 0x21, 0x3d};

Bytes Text(const std::string& text) { return {text.begin(), text.end()}; }

Bytes Payload(size_t length) {
  Bytes payload(length);
  for (size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return payload;
}

// A client frame: first byte as given, masked with kKey, in the shortest
// length form.
Bytes ClientFrame(std::uint8_t first, const Bytes& payload) {
  Bytes frame = {first};
  if (payload.size() <= 125) {
    frame.push_back(static_cast<std::uint8_t>(0x80 | payload.size()));
  } else {
    frame.insert(frame.end(), {0x80 | 126, static_cast<std::uint8_t>(payload.size() >> 8),
                               static_cast<std::uint8_t>(payload.size())});
  }
  frame.insert(frame.end(), kKey, kKey + 4);
  for (size_t i = 0; i < payload.size(); ++i) frame.push_back(payload[i] ^ kKey[i % 4]);
  return frame;
}

// What one parse gave.
struct Parsed {
  WsFrameType verdict;
  std::optional<Bytes> payload;  // none: dataOut and dataLengthOut left as set
  Bytes buffer;                  // the input afterwards
};

std::uint8_t kUnset;  // where dataOut points before a parse

// Parses `length` received bytes held in a block of `capacity` bytes (the
// rest zero, as not yet received): an exactly sized block when both are
// equal, so AddressSanitizer sees any read past what was received.
Parsed Parse(const Bytes& bytes, size_t length, size_t capacity) {
  auto block = std::make_unique<std::uint8_t[]>(capacity);
  std::memcpy(block.get(), bytes.data(), length);
  std::uint8_t* data = &kUnset;
  size_t data_length = 424242;
  const WsFrameType verdict = agent::wsParseInputFrame(block.get(), length, data, data_length);
  std::optional<Bytes> payload;
  if (data != &kUnset || data_length != 424242) {
    EXPECT_GE(data, block.get());
    EXPECT_LE(data + data_length, block.get() + length) << "payload outside the input";
    payload = Bytes(data, data + data_length);
  }
  return {verdict, payload, Bytes(block.get(), block.get() + length)};
}

Parsed Parse(const Bytes& bytes) { return Parse(bytes, bytes.size(), bytes.size()); }

struct FrameCase {
  const char* what;
  Bytes bytes;
  WsFrameType verdict;
  size_t needed;                 // bytes from which the verdict is given
  std::optional<Bytes> payload;  // the unmasked payload, when one is found
};

std::vector<FrameCase> FrameCases() {
  const Bytes hello = Text("Hello");
  const Bytes b300 = Payload(300);
  const Bytes largest = Payload(agent::kWsMaxInputFrameSize - 8);
  const Bytes rfc_hello = {0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58};
  return {
      {"masked Hello of RFC 6455", rfc_hello, WS_TEXT_FRAME, 11, hello},
      {"binary", ClientFrame(0x82, hello), WS_BINARY_FRAME, 11, hello},
      {"closing with a status", ClientFrame(0x88, {0x03, 0xE8}), WS_CLOSING_FRAME, 8,
       Bytes{0x03, 0xE8}},
      {"ping", ClientFrame(0x89, hello), WS_PING_FRAME, 11, hello},
      {"pong", ClientFrame(0x8A, hello), WS_PONG_FRAME, 11, hello},
      // An empty payload needs neither key nor payload to be read.
      {"closing without payload", ClientFrame(0x88, {}), WS_CLOSING_FRAME, 2, std::nullopt},
      {"text without payload", ClientFrame(0x81, {}), WS_TEXT_FRAME, 2, std::nullopt},
      {"text of 125 bytes", ClientFrame(0x81, Payload(125)), WS_TEXT_FRAME, 131, Payload(125)},
      {"text of 126 bytes", ClientFrame(0x81, Payload(126)), WS_TEXT_FRAME, 134, Payload(126)},
      {"16-bit length 300", ClientFrame(0x81, b300), WS_TEXT_FRAME, 308, b300},
      {"16-bit length 0", {0x81, 0xFE, 0x00, 0x00, 1, 2, 3, 4}, WS_TEXT_FRAME, 4, std::nullopt},
      {"the largest frame the receive buffer holds", ClientFrame(0x81, largest), WS_TEXT_FRAME,
       agent::kWsMaxInputFrameSize, largest},
      {"one byte more than the receive buffer holds", {0x81, 0xFE, 0xFF, 0xF8, 1, 2, 3, 4},
       WS_ERROR_FRAME, 4, std::nullopt},
      {"16-bit length 65535", {0x81, 0xFE, 0xFF, 0xFF, 1, 2, 3, 4}, WS_ERROR_FRAME, 4,
       std::nullopt},
      {"64-bit length", {0x81, 0xFF, 0, 0, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4, 'a'}, WS_ERROR_FRAME, 10,
       std::nullopt},
      {"RSV1", ClientFrame(0xC1, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"RSV2", ClientFrame(0xA1, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"RSV3", ClientFrame(0x91, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"unmasked", {0x81, 0x05, 'H', 'e', 'l', 'l', 'o'}, WS_ERROR_FRAME, 2, std::nullopt},
      {"FIN clear", ClientFrame(0x01, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"continuation", ClientFrame(0x00, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"continuation with FIN", ClientFrame(0x80, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"opcode 0x3", ClientFrame(0x83, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"opcode 0x7", ClientFrame(0x87, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"opcode 0xB", ClientFrame(0x8B, hello), WS_ERROR_FRAME, 2, std::nullopt},
      {"opcode 0xF", ClientFrame(0x8F, hello), WS_ERROR_FRAME, 2, std::nullopt},
  };
}

// Before `needed` bytes the parse is incomplete and changes nothing; from
// then on it gives the verdict (and the payload once all of it is there).
void ExpectPrefix(const FrameCase& c, size_t length, size_t capacity, const std::string& where) {
  const Parsed p = Parse(c.bytes, length, capacity);
  const Bytes received(c.bytes.begin(), c.bytes.begin() + length);
  if (length < c.needed) {
    ASSERT_EQ(p.verdict, WS_INCOMPLETE_FRAME) << c.what << where;
    ASSERT_FALSE(p.payload) << c.what << where;
    ASSERT_TRUE(p.buffer == received) << c.what << where << ": unmasked too early";
  } else {
    ASSERT_EQ(p.verdict, c.verdict) << c.what << where;
    ASSERT_EQ(p.payload, c.payload) << c.what << where;
  }
}

void ExpectEveryPrefixInOneBuffer(const FrameCase& c) {
  Bytes buffer = c.bytes;
  std::uint8_t* data = &kUnset;
  size_t data_length = 424242;
  for (size_t length = 0; length < c.needed; ++length) {
    ASSERT_EQ(agent::wsParseInputFrame(buffer.data(), length, data, data_length), WS_INCOMPLETE_FRAME)
        << c.what << ", " << length << " bytes";
  }
  ASSERT_EQ(data, &kUnset) << c.what;
  ASSERT_TRUE(buffer == c.bytes) << c.what << ": unmasked too early";
  ASSERT_EQ(agent::wsParseInputFrame(buffer.data(), buffer.size(), data, data_length), c.verdict)
      << c.what;
  ASSERT_TRUE(c.payload && Bytes(data, data + data_length) == *c.payload) << c.what;
}

TEST(WsParseInputFrame, FramesWholeAndAtEverySplit) {
  for (const auto& c : FrameCases()) {
    const size_t n = c.bytes.size();
    ExpectPrefix(c, n, n, ", whole");
    if (n > 4096) {
      // The largest frame is received byte by byte into one buffer, as the
      // connection does; exact blocks for each of its prefixes, or a fresh
      // copy for each two-way split, would copy gigabytes.
      ExpectEveryPrefixInOneBuffer(c);
      continue;
    }
    // Byte by byte: every prefix, each in an exactly sized block.
    for (size_t length = 0; length < n; ++length) {
      ExpectPrefix(c, length, length, ", " + std::to_string(length) + " bytes");
    }
    // Each two-way split: the first part parsed, then the whole from the
    // same buffer (only a complete frame is unmasked, so the first parse
    // must leave the bytes as they came).
    for (size_t split = 1; split < n; ++split) {
      Bytes buffer = c.bytes;
      std::uint8_t* data = &kUnset;
      size_t data_length = 0;
      const WsFrameType first = agent::wsParseInputFrame(buffer.data(), split, data, data_length);
      const WsFrameType second = agent::wsParseInputFrame(buffer.data(), n, data, data_length);
      ASSERT_EQ(first, split < c.needed ? WS_INCOMPLETE_FRAME : c.verdict) << c.what << split;
      if (split >= c.needed) continue;  // the verdict came early: nothing to re-feed
      ASSERT_EQ(second, c.verdict) << c.what << ", split at " << split;
      if (c.payload) {
        ASSERT_EQ(Bytes(data, data + data_length), *c.payload) << c.what << ", split at " << split;
      }
    }
  }
}

TEST(WsParseInputFrame, OnlyTheFirstOfTwoFramesIsParsed) {
  Bytes two = ClientFrame(0x81, Text("first"));
  const Bytes second = ClientFrame(0x81, Text("second"));
  two.insert(two.end(), second.begin(), second.end());
  const Parsed p = Parse(two);
  EXPECT_EQ(p.verdict, WS_TEXT_FRAME);
  EXPECT_EQ(p.payload, Text("first"));
  EXPECT_TRUE(Bytes(p.buffer.end() - second.size(), p.buffer.end()) == second) << "second unmasked";
}

TEST(WsParseInputFrame, NoInput) {
  std::uint8_t* data = &kUnset;
  size_t data_length = 9;
  EXPECT_EQ(agent::wsParseInputFrame(nullptr, 0, data, data_length), WS_INCOMPLETE_FRAME);
  EXPECT_EQ(data, &kUnset);
  EXPECT_EQ(data_length, 9u);
}

TEST(WsReadPayloadLength, LengthForms) {
  struct Case {
    const char* what;
    Bytes bytes;
    size_t length;
    size_t extra;
    WsFrameType type;  // WS_TEXT_FRAME: left as it was
  };
  const Case cases[] = {
      {"7-bit 0", {0x81, 0x80}, 0, 0, WS_TEXT_FRAME},
      {"7-bit 125", {0x81, 0xFD}, 125, 0, WS_TEXT_FRAME},
      {"the mask bit is not part of the length", {0x81, 0x7D}, 125, 0, WS_TEXT_FRAME},
      {"16-bit, 3 bytes", {0x81, 0xFE, 0x01}, 0, 0, WS_INCOMPLETE_FRAME},
      {"16-bit 300", {0x81, 0xFE, 0x01, 0x2C}, 300, 2, WS_TEXT_FRAME},
      {"16-bit 65535", {0x81, 0xFE, 0xFF, 0xFF}, 65535, 2, WS_TEXT_FRAME},
      {"64-bit, 9 bytes", {0x81, 0xFF, 0, 0, 0, 0, 0, 0, 1}, 0, 0, WS_INCOMPLETE_FRAME},
      {"64-bit, 10 bytes", {0x81, 0xFF, 0, 0, 0, 0, 0, 0, 1, 0}, 0, 0, WS_ERROR_FRAME},
      {"one byte", {0x81}, 0, 0, WS_INCOMPLETE_FRAME},
  };
  for (const auto& c : cases) {
    auto block = std::make_unique<std::uint8_t[]>(c.bytes.size());
    std::memcpy(block.get(), c.bytes.data(), c.bytes.size());
    size_t extra = 77;
    WsFrameType type = WS_TEXT_FRAME;
    EXPECT_EQ(agent::wsReadPayloadLength(block.get(), c.bytes.size(), extra, type), c.length) << c.what;
    EXPECT_EQ(extra, c.extra) << c.what;
    EXPECT_EQ(type, c.type) << c.what;
  }
}

// Builds into an exactly sized block and returns it whole.
struct Built {
  bool ok;
  size_t length;
  Bytes block;
};

Built Build(const Bytes& payload, size_t capacity, WsFrameType type) {
  constexpr std::uint8_t kGuard = 0x5A;
  auto block = std::make_unique<std::uint8_t[]>(capacity);
  std::memset(block.get(), kGuard, capacity);
  size_t length = 12345;
  const bool ok = agent::wsBuildFrame(payload.empty() ? nullptr : payload.data(), payload.size(),
                                      block.get(), capacity, length, type);
  return {ok, length, Bytes(block.get(), block.get() + capacity)};
}

TEST(WsBuildFrame, HeadersAtEveryCapacity) {
  struct Case {
    const char* what;
    size_t payload_length;
    WsFrameType type;
    Bytes header;
  };
  const Case cases[] = {
      {"closing frame", 0, WS_CLOSING_FRAME, {0x88, 0x00}},
      {"empty text", 0, WS_TEXT_FRAME, {0x81, 0x00}},
      {"text of 1", 1, WS_TEXT_FRAME, {0x81, 0x01}},
      {"text of 125", 125, WS_TEXT_FRAME, {0x81, 0x7D}},
      {"text of 126", 126, WS_TEXT_FRAME, {0x81, 0x7E, 0x00, 0x7E}},
      {"text of 4095", 4095, WS_TEXT_FRAME, {0x81, 0x7E, 0x0F, 0xFF}},
      {"text of 65535", 65535, WS_TEXT_FRAME, {0x81, 0x7E, 0xFF, 0xFF}},
      {"binary of 3", 3, WS_BINARY_FRAME, {0x82, 0x03}},
      {"pong", 0, WS_PONG_FRAME, {0x8A, 0x00}},
  };
  for (const auto& c : cases) {
    const Bytes payload = Payload(c.payload_length);
    const size_t size = c.header.size() + payload.size();
    ASSERT_EQ(agent::wsOutputFrameSize(payload.size()), size) << c.what;
    Bytes expected = c.header;
    expected.insert(expected.end(), payload.begin(), payload.end());
    // Every capacity near the frame's size, all of them for small frames.
    const size_t from = size > 300 ? size - 4 : 0;
    for (size_t capacity = from; capacity <= size + 2; ++capacity) {
      const Built b = Build(payload, capacity, c.type);
      if (capacity < size) {
        ASSERT_FALSE(b.ok) << c.what << " capacity " << capacity;
        ASSERT_EQ(b.length, 0u);
        ASSERT_TRUE(b.block == Bytes(capacity, 0x5A)) << c.what << ": written at capacity " << capacity;
      } else {
        ASSERT_TRUE(b.ok) << c.what << " capacity " << capacity;
        ASSERT_EQ(b.length, size);
        ASSERT_TRUE(Bytes(b.block.begin(), b.block.begin() + size) == expected) << c.what;
        ASSERT_TRUE(Bytes(b.block.begin() + size, b.block.end()) == Bytes(capacity - size, 0x5A))
            << c.what << ": written past the frame";
      }
    }
  }
}

TEST(WsBuildFrame, RefusesWhatItCannotBuild) {
  struct Case {
    const char* what;
    size_t payload_length;
    WsFrameType type;
  };
  const Case cases[] = {
      {"a payload longer than the 16-bit form", 65536, WS_TEXT_FRAME},
      {"a verdict for a type", 3, WS_ERROR_FRAME},
      {"the opening verdict", 0, agent::WS_OPENING_FRAME},
      {"a reserved opcode", 0, static_cast<WsFrameType>(0x03)},
  };
  for (const auto& c : cases) {
    const Built b = Build(Payload(c.payload_length), 70000, c.type);
    EXPECT_FALSE(b.ok) << c.what;
    EXPECT_EQ(b.length, 0u) << c.what;
    EXPECT_TRUE(b.block == Bytes(70000, 0x5A)) << c.what << ": written";
  }
  std::uint8_t out[8] = {};
  size_t length = 1;
  EXPECT_FALSE(agent::wsBuildFrame(nullptr, 3, out, sizeof out, length, WS_TEXT_FRAME));
  EXPECT_FALSE(agent::wsBuildFrame(nullptr, 0, nullptr, 8, length, WS_CLOSING_FRAME));
  EXPECT_EQ(length, 0u);
}

TEST(WsBuildFrame, PayloadAlreadyInTheOutputBuffer) {
  Bytes buffer(300 + 4);
  const Bytes payload = Payload(300);
  std::copy(payload.begin(), payload.end(), buffer.begin());
  size_t length = 0;
  ASSERT_TRUE(agent::wsBuildFrame(buffer.data(), 300, buffer.data(), buffer.size(), length, WS_TEXT_FRAME));
  EXPECT_EQ(length, 304u);
  EXPECT_TRUE(Bytes(buffer.begin() + 4, buffer.end()) == payload);
}

TEST(WsFrames, WhatIsBuiltParsesBackOnceMasked) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{125}, size_t{126}, size_t{4095},
                   agent::kWsMaxInputFrameSize - 8}) {
    const Bytes payload = Payload(n);
    Bytes frame(agent::wsOutputFrameSize(n));
    size_t length = 0;
    ASSERT_TRUE(agent::wsBuildFrame(payload.data(), n, frame.data(), frame.size(), length, WS_BINARY_FRAME));
    // Set the mask bit, put the key after the length, mask the payload.
    const size_t header = length - n;
    Bytes client(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(header));
    client[1] |= 0x80;
    client.insert(client.end(), kKey, kKey + 4);
    for (size_t i = 0; i < n; ++i) client.push_back(frame[header + i] ^ kKey[i % 4]);
    const Parsed p = Parse(client);
    EXPECT_EQ(p.verdict, WS_BINARY_FRAME) << n;
    if (n > 0) {
      EXPECT_EQ(p.payload, payload) << n;
    }
  }
}

}  // namespace
