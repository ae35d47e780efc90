// The frame-type codes shared by the handshake parser and the frame
// parser. The first five are WebSocket opcodes; the other four are
// verdicts above the opcode range. The values are written into the agent
// log, so they are part of its format and must not change.
#pragma once

#include <cstdint>

namespace agent {

enum WsFrameType : std::int32_t {
  WS_TEXT_FRAME = 0x01,
  WS_BINARY_FRAME = 0x02,
  WS_CLOSING_FRAME = 0x08,
  WS_PING_FRAME = 0x09,
  WS_PONG_FRAME = 0x0A,
  WS_EMPTY_FRAME = 0xF0,       // nothing parsed yet (a freshly reset record)
  WS_ERROR_FRAME = 0xF1,       // the input is malformed or refused
  WS_INCOMPLETE_FRAME = 0xF2,  // more bytes are needed
  WS_OPENING_FRAME = 0xF3,     // a complete and acceptable opening handshake
};

// True for the five codes that are opcodes a frame may carry.
constexpr bool wsIsOpcode(std::int32_t code) {
  return code == WS_TEXT_FRAME || code == WS_BINARY_FRAME || code == WS_CLOSING_FRAME ||
         code == WS_PING_FRAME || code == WS_PONG_FRAME;
}

}  // namespace agent
