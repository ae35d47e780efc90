#include "websocket/frames.h"

#include <cstring>

namespace agent {
namespace {

constexpr std::uint8_t kFinBit = 0x80;
constexpr std::uint8_t kReservedBits = 0x70;
constexpr std::uint8_t kOpcodeBits = 0x0F;
constexpr std::uint8_t kMaskBit = 0x80;
constexpr std::uint8_t kLengthBits = 0x7F;
constexpr std::size_t kBaseHeaderSize = 2;
constexpr std::size_t kExtraBytes16 = 2;
constexpr std::size_t kExtraBytes64 = 8;

}  // namespace

std::size_t wsReadPayloadLength(const std::uint8_t* input, std::size_t inputLength,
                                std::size_t& extraBytesOut, WsFrameType& frameTypeInOut) {
  extraBytesOut = 0;
  if (input == nullptr || inputLength < kBaseHeaderSize) {
    frameTypeInOut = WS_INCOMPLETE_FRAME;
    return 0;
  }
  const std::uint8_t code = input[1] & kLengthBits;
  if ((code == kWsLength16 && inputLength < kBaseHeaderSize + kExtraBytes16) ||
      (code == kWsLength64 && inputLength < kBaseHeaderSize + kExtraBytes64)) {
    frameTypeInOut = WS_INCOMPLETE_FRAME;
    return 0;
  }
  if (code == kWsLength64) {
    frameTypeInOut = WS_ERROR_FRAME;
    return 0;
  }
  if (code == kWsLength16) {
    extraBytesOut = kExtraBytes16;
    return std::size_t{input[2]} << 8 | std::size_t{input[3]};
  }
  return code;
}

WsFrameType wsParseInputFrame(std::uint8_t* input, std::size_t inputLength, std::uint8_t*& dataOut,
                              std::size_t& dataLengthOut) {
  if (input == nullptr || inputLength < kBaseHeaderSize) return WS_INCOMPLETE_FRAME;
  if ((input[0] & kReservedBits) != 0) return WS_ERROR_FRAME;
  // Fragmented messages are not supported.
  if ((input[0] & kFinBit) == 0) return WS_ERROR_FRAME;
  // Client frames must be masked.
  if ((input[1] & kMaskBit) == 0) return WS_ERROR_FRAME;
  const std::uint8_t opcode = input[0] & kOpcodeBits;
  if (!wsIsOpcode(opcode)) return WS_ERROR_FRAME;

  WsFrameType frameType = static_cast<WsFrameType>(opcode);
  std::size_t extra = 0;
  const std::size_t payload_length = wsReadPayloadLength(input, inputLength, extra, frameType);
  if (payload_length == 0) return frameType;

  const std::size_t header_size = kBaseHeaderSize + extra + kWsMaskingKeySize;
  if (header_size + payload_length > kWsMaxInputFrameSize) return WS_ERROR_FRAME;
  if (header_size + payload_length > inputLength) return WS_INCOMPLETE_FRAME;

  const std::uint8_t* key = input + kBaseHeaderSize + extra;
  std::uint8_t* payload = input + header_size;
  for (std::size_t i = 0; i < payload_length; ++i) payload[i] ^= key[i % kWsMaskingKeySize];
  dataOut = payload;
  dataLengthOut = payload_length;
  return frameType;
}

std::size_t wsOutputFrameSize(std::size_t dataLength) {
  const std::size_t header_size =
      dataLength <= kWsMaxShortPayloadLength ? kBaseHeaderSize : kBaseHeaderSize + kExtraBytes16;
  return header_size + dataLength;
}

bool wsBuildFrame(const std::uint8_t* data, std::size_t dataLength, std::uint8_t* output,
                  std::size_t outputCapacity, std::size_t& outputLength, WsFrameType frameType) {
  outputLength = 0;
  if (!wsIsOpcode(frameType) || dataLength > kWsMaxPayloadLength || output == nullptr) return false;
  if (data == nullptr && dataLength > 0) return false;
  const std::size_t frame_size = wsOutputFrameSize(dataLength);
  if (outputCapacity < frame_size) return false;

  const std::size_t header_size = frame_size - dataLength;
  // The payload moves first: it may lie where the header goes.
  if (dataLength > 0) std::memmove(output + header_size, data, dataLength);
  output[0] = static_cast<std::uint8_t>(kFinBit | frameType);
  if (header_size == kBaseHeaderSize) {
    output[1] = static_cast<std::uint8_t>(dataLength);
  } else {
    output[1] = kWsLength16;
    output[2] = static_cast<std::uint8_t>(dataLength >> 8);
    output[3] = static_cast<std::uint8_t>(dataLength);
  }
  outputLength = frame_size;
  return true;
}

}  // namespace agent
