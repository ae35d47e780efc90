// WebSocket frames after the handshake: the parser of the client's frames
// and the builder of the server's.
//
// Client frames are accepted only whole, unfragmented (FIN set), with RSV1
// to RSV3 clear, masked, with one of the five opcodes and a payload length
// in the 7-bit or 16-bit form. Server frames are built unfragmented and
// unmasked, in the 7-bit or 16-bit length form. The functions keep no
// state, log nothing and take no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "websocket/frame_types.h"

namespace agent {

// The connection's receive buffer: a client frame must fit it whole
// (header, extended length, masking key and payload), or it is refused.
inline constexpr std::size_t kWsMaxInputFrameSize = 65535;
// Longest payload the 16-bit length form carries, in either direction.
inline constexpr std::size_t kWsMaxPayloadLength = 65535;
inline constexpr std::size_t kWsMaskingKeySize = 4;
// Length code of the second byte that announces the 16-bit and the 64-bit
// extended length.
inline constexpr std::uint8_t kWsLength16 = 126;
inline constexpr std::uint8_t kWsLength64 = 127;
// The largest payload that the 7-bit length code holds itself.
inline constexpr std::size_t kWsMaxShortPayloadLength = 125;

// Reads the payload length of the frame at the start of
// [input, input + inputLength). Returns it, with the width of the extended
// length field (0 or 2) in extraBytesOut. Returns 0 and sets
// frameTypeInOut to WS_INCOMPLETE_FRAME when the length field has not all
// arrived, or to WS_ERROR_FRAME for the 64-bit form; otherwise
// frameTypeInOut is left as it was.
std::size_t wsReadPayloadLength(const std::uint8_t* input, std::size_t inputLength,
                                std::size_t& extraBytesOut, WsFrameType& frameTypeInOut);

// Parses the first client frame in [input, input + inputLength), the bytes
// received so far; bytes after that frame are ignored. Returns its opcode's
// code, WS_INCOMPLETE_FRAME (nothing is changed; parse again when more
// bytes have arrived) or WS_ERROR_FRAME (a bad frame, or one larger than
// kWsMaxInputFrameSize). A frame with a payload is unmasked in place, and
// dataOut / dataLengthOut are set to the payload inside `input`; with an
// empty payload they are left as the caller set them.
WsFrameType wsParseInputFrame(std::uint8_t* input, std::size_t inputLength, std::uint8_t*& dataOut,
                              std::size_t& dataLengthOut);

// The number of bytes of a server frame with `dataLength` payload bytes.
std::size_t wsOutputFrameSize(std::size_t dataLength);

// Writes one server frame of `frameType` (an opcode code) with the payload
// [data, data + dataLength) into `output`, and its size into `outputLength`.
// `data` may be null when dataLength is 0, and may lie inside `output`.
// Returns false, writing nothing to `output` and 0 to `outputLength`, when
// frameType is not an opcode, dataLength exceeds kWsMaxPayloadLength, or
// `outputCapacity` is below wsOutputFrameSize(dataLength).
bool wsBuildFrame(const std::uint8_t* data, std::size_t dataLength, std::uint8_t* output,
                  std::size_t outputCapacity, std::size_t& outputLength, WsFrameType frameType);

}  // namespace agent
