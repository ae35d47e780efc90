// The opening handshake of the agent's WebSocket server: the record of the
// client's request lines, the parser, and the three answers.
//
// The server checks a fixed set of request lines and answers "101
// Switching Protocols" with the accept key (wsBuildHandshakeAnswer), "404
// Not Found" for any resource other than kWsAgentResource, or "400 Bad
// Request" for a refused head or one that never completes. The functions
// keep no state, log nothing and take no locks.
#pragma once

#include <cstddef>

#include "websocket/frame_types.h"

namespace agent {

// Longest value of a recognised request line that is kept; a longer one
// refuses the head.
inline constexpr std::size_t kWsMaxHeaderValueLength = 127;
// Longest "Sec-WebSocket-Key: " value: the key and the GUID must fit in
// kWsMaxHeaderValueLength bytes together. A longer key refuses the head.
inline constexpr std::size_t kWsMaxKeyLength = 91;

inline constexpr char kWsGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
inline constexpr std::size_t kWsGuidLength = sizeof kWsGuid - 1;
inline constexpr std::size_t kWsAcceptKeyLength = 28;

// The one resource the agent serves, compared whole and case-sensitively.
inline constexpr char kWsAgentResource[] = "/VEVU";

// The 101 answer is always this long (without its terminating zero), so
// its buffer needs kWsHandshakeAnswerLength + 1 bytes.
inline constexpr std::size_t kWsHandshakeAnswerLength = 129;
inline constexpr char kWsNotFoundAnswer[] = "HTTP/1.1 404 Not Found\r\n\r\n";
// The answer to a page whose origin the settings do not allow.
inline constexpr char kWsForbiddenAnswer[] = "HTTP/1.1 403 Forbidden\r\n\r\n";
inline constexpr char kWsBadRequestAnswer[] =
    "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\n\r\n";

// What a parse found. The record owns its four texts (heap, NUL-terminated,
// or null) until wsReleaseHandshake frees them; a connection keeps one.
struct WsHandshake {
  char* host = nullptr;      // value of "Host: "
  char* origin = nullptr;    // value of "Origin: " (checked by the worker when set to)
  char* key = nullptr;       // value of "Sec-WebSocket-Key: "
  char* resource = nullptr;  // request target of the GET line
  WsFrameType frameType = WS_EMPTY_FRAME;  // verdict of the last complete parse
};

// Sets the four texts to null and frameType to WS_EMPTY_FRAME, freeing
// nothing: for a record whose fields hold no texts yet.
void wsResetHandshake(WsHandshake& record);

// Frees the record's texts, then resets it.
void wsReleaseHandshake(WsHandshake& record);

// Parses the bytes [input, input + inputLength) received so far; the
// caller parses from the start again whenever more bytes have arrived.
// No terminating zero is needed after them.
//  - WS_INCOMPLETE_FRAME: no "\r\n\r\n" yet; the record is left as it was.
//  - WS_ERROR_FRAME: malformed or refused. Before the request lines are
//    read (not a GET, no target, a zero byte in the head) the record is left
//    as it was; after, frameType is set too.
//  - WS_OPENING_FRAME: acceptable; stored in frameType.
// Values copied by an earlier complete parse stay until a later one
// replaces them.
WsFrameType wsParseHandshake(const char* input, std::size_t inputLength, WsHandshake& record);

// A new heap copy (free it with delete[]) of the bytes from `position` up to,
// not including, the next CR LF before `end`, with a terminating zero. Null
// when there is no CR LF before `end`, when the value is longer than
// kWsMaxHeaderValueLength, or when memory runs out.
char* wsCopyHeaderValue(const char* position, const char* end);

// Writes the 101 answer for the record's key, with a terminating zero, into
// `output` and its length without the zero (kWsHandshakeAnswerLength) into
// `outputLength`. Returns false, writing nothing to `output` and 0 to
// `outputLength`, when the record has no key, the key is longer than
// kWsMaxKeyLength, or `outputCapacity` is below kWsHandshakeAnswerLength + 1.
bool wsBuildHandshakeAnswer(const WsHandshake& record, char* output, std::size_t outputCapacity,
                            std::size_t& outputLength);

}  // namespace agent
