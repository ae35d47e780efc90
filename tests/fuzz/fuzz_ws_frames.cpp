// libFuzzer harness for the frames: the bytes as a client's frame received
// so far, and as the payload of a server frame that is built, masked and
// parsed back. The parser reads and writes only inside its block, gives an
// opcode's code or a verdict, unmasks exactly the payload of a whole frame
// and nothing else; the builder writes exactly the frame into a block of
// its size and refuses a block one byte smaller.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "websocket/frames.h"

namespace {

using namespace agent;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_ws_frames: %s\n", what);
  std::abort();
}

std::uint8_t g_unset;

void CheckParse(const std::uint8_t* bytes, std::size_t size) {
  auto block = std::make_unique<std::uint8_t[]>(size);
  if (size > 0) std::memcpy(block.get(), bytes, size);
  std::uint8_t* data = &g_unset;
  std::size_t data_length = 0;
  const WsFrameType verdict = wsParseInputFrame(block.get(), size, data, data_length);
  if (!wsIsOpcode(verdict) && verdict != WS_INCOMPLETE_FRAME && verdict != WS_ERROR_FRAME)
    Fail("verdict is not a code");

  if (data == &g_unset) {
    if (data_length != 0) Fail("length without payload");
    if (size > 0 && std::memcmp(block.get(), bytes, size) != 0) Fail("bytes changed without payload");
    return;
  }
  if (!wsIsOpcode(verdict)) Fail("payload with a verdict");
  if (data < block.get() || data_length == 0 || data_length > static_cast<std::size_t>(block.get() + size - data))
    Fail("payload outside the input");
  const std::size_t offset = static_cast<std::size_t>(data - block.get());
  if (offset + data_length > kWsMaxInputFrameSize) Fail("frame larger than the receive buffer");
  if ((bytes[0] & 0xF0) != 0x80 || (bytes[1] & 0x80) == 0 || (bytes[0] & 0x0F) != verdict)
    Fail("accepted a frame that is not final, plain and masked");
  const std::uint8_t* key = bytes + offset - kWsMaskingKeySize;
  for (std::size_t i = 0; i < size; ++i) {
    const bool in_payload = i >= offset && i < offset + data_length;
    const std::uint8_t expected = in_payload ? bytes[i] ^ key[(i - offset) % kWsMaskingKeySize] : bytes[i];
    if (block[i] != expected) Fail("unmasked wrongly or outside the payload");
  }
}

void CheckBuild(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0 || size > kWsMaxInputFrameSize - 8) return;
  const WsFrameType types[] = {WS_TEXT_FRAME, WS_BINARY_FRAME, WS_CLOSING_FRAME, WS_PING_FRAME,
                               WS_PONG_FRAME};
  const WsFrameType type = types[bytes[0] % 5];
  const std::uint8_t* payload = bytes + 1;
  const std::size_t n = size - 1;
  const std::size_t frame_size = wsOutputFrameSize(n);

  {
    auto small = std::make_unique<std::uint8_t[]>(frame_size - 1);
    std::memset(small.get(), 0x5A, frame_size - 1);
    std::size_t length = 1;
    if (wsBuildFrame(payload, n, small.get(), frame_size - 1, length, type) || length != 0)
      Fail("built into a block too small");
    for (std::size_t i = 0; i + 1 < frame_size; ++i)
      if (small[i] != 0x5A) Fail("refused build wrote");
  }
  auto frame = std::make_unique<std::uint8_t[]>(frame_size);
  std::size_t length = 0;
  if (!wsBuildFrame(n == 0 ? nullptr : payload, n, frame.get(), frame_size, length, type) ||
      length != frame_size)
    Fail("build failed or wrong length");
  const std::size_t header = frame_size - n;
  if (frame[0] != (0x80 | type) || (frame[1] & 0x80) != 0) Fail("server frame header");
  if ((n <= 125) != (header == 2)) Fail("length form");
  if (n > 0 && std::memcmp(frame.get() + header, payload, n) != 0) Fail("payload copied wrongly");

  // Masked with the first bytes as key, it parses back to the same frame.
  std::vector<std::uint8_t> client(frame.get(), frame.get() + header);
  client[1] |= 0x80;
  const std::uint8_t key[4] = {bytes[0], static_cast<std::uint8_t>(n), 0xA5, 0x3C};
  client.insert(client.end(), key, key + 4);
  for (std::size_t i = 0; i < n; ++i) client.push_back(payload[i] ^ key[i % 4]);
  auto block = std::make_unique<std::uint8_t[]>(client.size());
  std::memcpy(block.get(), client.data(), client.size());
  std::uint8_t* data = nullptr;
  std::size_t data_length = 0;
  if (wsParseInputFrame(block.get(), client.size(), data, data_length) != type) Fail("round trip type");
  if (n > 0 && (data_length != n || std::memcmp(data, payload, n) != 0)) Fail("round trip payload");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckParse(data, size);
  CheckBuild(data, size);
  return 0;
}
