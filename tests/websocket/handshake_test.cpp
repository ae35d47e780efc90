// The opening handshake: the parser over whole heads and at every split,
// the record's lifetime, the request lines' limits, and the three answers.
#include "websocket/handshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using agent::WS_EMPTY_FRAME;
using agent::WS_ERROR_FRAME;
using agent::WS_INCOMPLETE_FRAME;
using agent::WS_OPENING_FRAME;
using agent::WsFrameType;
using agent::WsHandshake;

constexpr char kSampleKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char kSampleAnswer[] =
    "HTTP/1.1 101 Switching Protocols\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
    "\r\n";

// A head as a browser sends it, with one line replaced, dropped or added.
struct HeadLines {
  std::string request = "GET /VEVU HTTP/1.1";
  std::vector<std::string> lines = {
      "Host: 127.0.0.1:8088",
      "Upgrade: websocket",
      "Connection: Upgrade",
      std::string("Sec-WebSocket-Key: ") + kSampleKey,
      "Origin: http://localhost",
      "Sec-WebSocket-Version: 13",
  };
};

std::string Join(const HeadLines& head) {
  std::string text = head.request + "\r\n";
  for (const auto& line : head.lines) text += line + "\r\n";
  return text + "\r\n";
}

std::string ValidHead() { return Join(HeadLines{}); }

std::string HeadWithRequest(const std::string& request) {
  HeadLines head;
  head.request = request;
  return Join(head);
}

// The head with every line that starts with `prefix` replaced by
// `replacement` (dropped when it is empty).
std::string HeadReplacing(const std::string& prefix, const std::string& replacement) {
  HeadLines head;
  std::vector<std::string> lines;
  for (const auto& line : head.lines) {
    if (line.compare(0, prefix.size(), prefix) != 0) {
      lines.push_back(line);
    } else if (!replacement.empty()) {
      lines.push_back(replacement);
    }
  }
  head.lines = lines;
  return Join(head);
}

std::string HeadAdding(const std::string& line) {
  HeadLines head;
  head.lines.push_back(line);
  return Join(head);
}

// The record as plain values, to compare after each parse.
struct Snapshot {
  std::optional<std::string> host, origin, key, resource;
  WsFrameType frameType;
  bool operator==(const Snapshot&) const = default;
};

std::optional<std::string> Text(const char* text) {
  return text == nullptr ? std::nullopt : std::optional<std::string>(text);
}

Snapshot Snap(const WsHandshake& record) {
  return {Text(record.host), Text(record.origin), Text(record.key), Text(record.resource),
          record.frameType};
}

const Snapshot kFresh = {std::nullopt, std::nullopt, std::nullopt, std::nullopt, WS_EMPTY_FRAME};

// A record released at the end of the test.
struct Record {
  WsHandshake r;
  Record() { agent::wsResetHandshake(r); }
  ~Record() { agent::wsReleaseHandshake(r); }
};

// Parses `length` bytes of `bytes` from an exactly sized heap block with no
// zero after it, so AddressSanitizer sees any read past what was received.
WsFrameType Parse(const std::string& bytes, size_t length, WsHandshake& record) {
  auto block = std::make_unique<char[]>(length);
  std::memcpy(block.get(), bytes.data(), length);
  return agent::wsParseHandshake(block.get(), length, record);
}

WsFrameType Parse(const std::string& bytes, WsHandshake& record) {
  return Parse(bytes, bytes.size(), record);
}

// Feeds `bytes` as the connection receives them, in the given pieces, and
// parses everything received after each piece, as the worker does. Until
// the head's empty line has arrived, each parse is incomplete and leaves
// the record as it was; from then on, the verdict and the record are those
// of the whole input parsed at once.
void ExpectFeed(const std::string& bytes, const std::vector<size_t>& pieces, WsFrameType verdict,
                const Snapshot& whole, const std::string& what) {
  const size_t head_end = bytes.find("\r\n\r\n") + 4;
  Record record;
  size_t received = 0;
  for (size_t piece : pieces) {
    received += piece;
    const WsFrameType got = Parse(bytes, received, record.r);
    if (received < head_end) {
      ASSERT_EQ(got, WS_INCOMPLETE_FRAME) << what << ", " << received << " bytes";
      ASSERT_EQ(Snap(record.r), kFresh) << what << ", " << received << " bytes";
    } else {
      ASSERT_EQ(got, verdict) << what << ", " << received << " bytes";
      ASSERT_EQ(Snap(record.r), whole) << what << ", " << received << " bytes";
    }
  }
}

// Byte by byte, and at each two-way split.
void ExpectSameAtEverySplit(const std::string& bytes, const std::string& what) {
  Record once;
  const WsFrameType verdict = Parse(bytes, once.r);
  const Snapshot whole = Snap(once.r);
  ExpectFeed(bytes, std::vector<size_t>(bytes.size(), 1), verdict, whole, what + ", byte by byte");
  for (size_t split = 1; split < bytes.size(); ++split) {
    ExpectFeed(bytes, {split, bytes.size() - split}, verdict, whole,
               what + ", split at " + std::to_string(split));
  }
}

struct HeadCase {
  const char* what;
  std::string bytes;
  WsFrameType verdict;
  WsFrameType stored;    // frameType afterwards: early refusals leave it
  const char* resource;  // null: none kept
};

std::vector<HeadCase> HeadCases() {
  const std::string long127(127, 'h');
  const std::string key91(91, 'k');
  return {
      {"the browser's head", ValidHead(), WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"another resource", HeadWithRequest("GET /other HTTP/1.1"), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/other"},
      {"trailing slash", HeadWithRequest("GET /VEVU/ HTTP/1.1"), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/VEVU/"},
      {"lower case resource", HeadWithRequest("GET /vevu HTTP/1.1"), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/vevu"},
      {"HTTP/1.0 is not checked", HeadWithRequest("GET /VEVU HTTP/1.0"), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/VEVU"},
      {"a frame right after the head", ValidHead() + "\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58",
       WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"lower case method", HeadWithRequest("get /VEVU HTTP/1.1"), WS_ERROR_FRAME, WS_EMPTY_FRAME,
       nullptr},
      {"another method", HeadWithRequest("POST /VEVU HTTP/1.1"), WS_ERROR_FRAME, WS_EMPTY_FRAME,
       nullptr},
      {"GET and two blanks", HeadWithRequest("GET  /VEVU HTTP/1.1"), WS_ERROR_FRAME, WS_EMPTY_FRAME,
       nullptr},
      {"a tab after GET", HeadWithRequest("GET \t/VEVU HTTP/1.1"), WS_ERROR_FRAME, WS_EMPTY_FRAME,
       nullptr},
      {"no second blank in the head", "GET /VEVU\r\nHost:x\r\n\r\n", WS_ERROR_FRAME,
       WS_EMPTY_FRAME, nullptr},
      {"nothing but the empty line", "\r\n\r\n", WS_ERROR_FRAME, WS_EMPTY_FRAME, nullptr},
      {"a zero byte in a line", HeadAdding(std::string("X-Junk: a\0b", 11)), WS_ERROR_FRAME,
       WS_EMPTY_FRAME, nullptr},
      {"lower case host line", HeadReplacing("Host: ", "host: 127.0.0.1"), WS_ERROR_FRAME,
       WS_ERROR_FRAME, "/VEVU"},
      {"no host", HeadReplacing("Host: ", ""), WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"no key", HeadReplacing("Sec-WebSocket-Key: ", ""), WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"no connection line", HeadReplacing("Connection: ", ""), WS_ERROR_FRAME, WS_ERROR_FRAME,
       "/VEVU"},
      {"no upgrade line", HeadReplacing("Upgrade: ", ""), WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"connection keep-alive, Upgrade", HeadReplacing("Connection: ", "Connection: keep-alive, Upgrade"),
       WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"connection keep-alive", HeadReplacing("Connection: ", "Connection: keep-alive"),
       WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"upgrade in mixed case", HeadReplacing("Upgrade: ", "Upgrade: WebSocket"), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/VEVU"},
      {"upgrade not at the start", HeadReplacing("Upgrade: ", "Upgrade: h2c, websocket"),
       WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"no version line", HeadReplacing("Sec-WebSocket-Version: ", ""), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/VEVU"},
      {"version 8", HeadReplacing("Sec-WebSocket-Version: ", "Sec-WebSocket-Version: 8"),
       WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"version 1", HeadReplacing("Sec-WebSocket-Version: ", "Sec-WebSocket-Version: 1"),
       WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"version 13 and more", HeadReplacing("Sec-WebSocket-Version: ", "Sec-WebSocket-Version: 13, 8"),
       WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"the version line twice", HeadAdding("Sec-WebSocket-Version: 13"),
       WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"a protocol line", HeadAdding("Sec-WebSocket-Protocol: chat"), WS_ERROR_FRAME,
       WS_ERROR_FRAME, "/VEVU"},
      {"an empty protocol line", HeadAdding("Sec-WebSocket-Protocol: "), WS_ERROR_FRAME,
       WS_ERROR_FRAME, "/VEVU"},
      {"no origin", HeadReplacing("Origin: ", ""), WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"host of 127 bytes", HeadReplacing("Host: ", "Host: " + long127), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/VEVU"},
      {"host of 128 bytes", HeadReplacing("Host: ", "Host: " + long127 + "h"), WS_ERROR_FRAME,
       WS_ERROR_FRAME, "/VEVU"},
      {"origin of 128 bytes", HeadReplacing("Origin: ", "Origin: " + long127 + "o"),
       WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"connection of 128 bytes",
       HeadReplacing("Connection: ", "Connection: Upgrade" + std::string(121, ' ')),
       WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"an unknown line of 1000 bytes", HeadAdding("X-Long: " + std::string(1000, 'x')),
       WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"key of 91 bytes", HeadReplacing("Sec-WebSocket-Key: ", "Sec-WebSocket-Key: " + key91),
       WS_OPENING_FRAME, WS_OPENING_FRAME, "/VEVU"},
      {"key of 92 bytes", HeadReplacing("Sec-WebSocket-Key: ", "Sec-WebSocket-Key: " + key91 + "k"),
       WS_ERROR_FRAME, WS_ERROR_FRAME, "/VEVU"},
      {"empty key", HeadReplacing("Sec-WebSocket-Key: ", "Sec-WebSocket-Key: "), WS_OPENING_FRAME,
       WS_OPENING_FRAME, "/VEVU"},
  };
}

TEST(WsParseHandshake, HeadsWholeAndAtEverySplit) {
  for (const auto& c : HeadCases()) {
    Record record;
    EXPECT_EQ(Parse(c.bytes, record.r), c.verdict) << c.what;
    EXPECT_EQ(record.r.frameType, c.stored) << c.what;
    EXPECT_EQ(Text(record.r.resource), Text(c.resource)) << c.what;
    ExpectSameAtEverySplit(c.bytes, c.what);
  }
}

TEST(WsParseHandshake, KeepsTheValuesOfTheLines) {
  Record record;
  ASSERT_EQ(Parse(ValidHead(), record.r), WS_OPENING_FRAME);
  const Snapshot expected = {"127.0.0.1:8088", "http://localhost", kSampleKey, "/VEVU",
                             WS_OPENING_FRAME};
  EXPECT_EQ(Snap(record.r), expected);
}

TEST(WsParseHandshake, ALaterLineReplacesAnEarlierOne) {
  HeadLines head;
  head.lines.push_back("Host: second");
  head.lines.push_back("Origin: second");
  head.lines.push_back("Sec-WebSocket-Key: second");
  Record record;
  ASSERT_EQ(Parse(Join(head), record.r), WS_OPENING_FRAME);
  EXPECT_STREQ(record.r.host, "second");
  EXPECT_STREQ(record.r.origin, "second");
  EXPECT_STREQ(record.r.key, "second");
}

TEST(WsParseHandshake, ALaterVersionDoesNotClearAMismatch) {
  HeadLines head;
  head.lines.insert(head.lines.begin(), "Sec-WebSocket-Version: 8");
  Record record;
  EXPECT_EQ(Parse(Join(head), record.r), WS_ERROR_FRAME);
}

TEST(WsParseHandshake, AHeadWithoutItsEmptyLineIsIncompleteHoweverLong) {
  std::string head = "GET /VEVU HTTP/1.1\r\nHost: a\r\n";
  while (head.size() < 65535) head += "X-Filler: " + std::string(50, 'f') + "\r\n";
  head.resize(65535);
  Record record;
  EXPECT_EQ(Parse(head, record.r), WS_INCOMPLETE_FRAME);
  EXPECT_EQ(Snap(record.r), kFresh);
  EXPECT_EQ(Parse("", record.r), WS_INCOMPLETE_FRAME);
  EXPECT_EQ(agent::wsParseHandshake(nullptr, 0, record.r), WS_INCOMPLETE_FRAME);
}

TEST(WsParseHandshake, EarlierValuesStayUntilAnotherCompleteParse) {
  Record record;
  ASSERT_EQ(Parse(ValidHead(), record.r), WS_OPENING_FRAME);
  const Snapshot first = Snap(record.r);

  // Incomplete, refused before the lines, refused at an over-long line:
  // what the first parse kept is still there.
  EXPECT_EQ(Parse("GET /other HTTP/1.1\r\nHost: other\r\n", record.r), WS_INCOMPLETE_FRAME);
  EXPECT_EQ(Snap(record.r), first);
  EXPECT_EQ(Parse("POST /other HTTP/1.1\r\nHost: other\r\n\r\n", record.r), WS_ERROR_FRAME);
  EXPECT_EQ(Snap(record.r), first);
  EXPECT_EQ(Parse(HeadReplacing("Host: ", "Host: " + std::string(128, 'h')), record.r),
            WS_ERROR_FRAME);
  EXPECT_EQ(record.r.frameType, WS_ERROR_FRAME);
  EXPECT_STREQ(record.r.host, "127.0.0.1:8088");

  ASSERT_EQ(Parse(HeadReplacing("Host: ", "Host: other"), record.r), WS_OPENING_FRAME);
  EXPECT_STREQ(record.r.host, "other");
}

TEST(WsHandshakeRecord, ResetAndRelease) {
  WsHandshake record;
  record.frameType = WS_OPENING_FRAME;
  agent::wsResetHandshake(record);
  EXPECT_EQ(Snap(record), kFresh);

  ASSERT_EQ(Parse(ValidHead(), record), WS_OPENING_FRAME);
  agent::wsReleaseHandshake(record);  // AddressSanitizer reports a leak otherwise
  EXPECT_EQ(Snap(record), kFresh);
  agent::wsReleaseHandshake(record);  // nothing left to free
  EXPECT_EQ(Snap(record), kFresh);
}

TEST(WsCopyHeaderValue, CopiesUpToTheLineEnd) {
  struct Case {
    const char* what;
    std::string bytes;
    std::optional<std::string> copy;
  };
  const Case cases[] = {
      {"value", "127.0.0.1:8088\r\nOrigin: x\r\n", "127.0.0.1:8088"},
      {"empty value", "\r\n", ""},
      {"a bare CR or LF belongs to the value", "a\rb\nc\r\n", "a\rb\nc"},
      {"no CR LF", "127.0.0.1", std::nullopt},
      {"a CR at the very end", "abc\r", std::nullopt},
      {"127 bytes", std::string(127, 'v') + "\r\n", std::string(127, 'v')},
      {"128 bytes", std::string(128, 'v') + "\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    auto block = std::make_unique<char[]>(c.bytes.size());
    std::memcpy(block.get(), c.bytes.data(), c.bytes.size());
    char* copy = agent::wsCopyHeaderValue(block.get(), block.get() + c.bytes.size());
    EXPECT_EQ(Text(copy), c.copy) << c.what;
    delete[] copy;
  }
  EXPECT_EQ(agent::wsCopyHeaderValue(nullptr, nullptr), nullptr);
}

// Builds the answer into an exactly sized heap block.
struct Answer {
  bool built;
  size_t length;
  std::string text;  // the whole block
};

Answer Build(const WsHandshake& record, size_t capacity) {
  constexpr char kGuard = '\x5A';
  auto block = std::make_unique<char[]>(capacity);
  std::memset(block.get(), kGuard, capacity);
  size_t length = 12345;
  const bool built = agent::wsBuildHandshakeAnswer(record, block.get(), capacity, length);
  return {built, length, std::string(block.get(), capacity)};
}

TEST(WsBuildHandshakeAnswer, SampleKeyOfRfc6455) {
  Record record;
  ASSERT_EQ(Parse(ValidHead(), record.r), WS_OPENING_FRAME);
  const Answer answer = Build(record.r, agent::kWsHandshakeAnswerLength + 1);
  ASSERT_TRUE(answer.built);
  EXPECT_EQ(answer.length, agent::kWsHandshakeAnswerLength);
  EXPECT_EQ(answer.text, std::string(kSampleAnswer, sizeof kSampleAnswer));  // with its zero
}

TEST(WsBuildHandshakeAnswer, AcceptKeys) {
  struct Case {
    std::string key;
    const char* accept;
  };
  const Case cases[] = {
      {kSampleKey, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
      {"", "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w="},
      {std::string(agent::kWsMaxKeyLength, 'x'), "InslgUhEUGrE7unh07gEbqvKX/Y="},
  };
  for (const auto& c : cases) {
    std::string key = c.key;
    WsHandshake record;
    record.key = key.data();
    const Answer answer = Build(record, 256);
    ASSERT_TRUE(answer.built) << c.key;
    const std::string expected = std::string("HTTP/1.1 101 Switching Protocols\r\n"
                                             "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                             "Sec-WebSocket-Accept: ") +
                                 c.accept + "\r\n\r\n";
    EXPECT_EQ(answer.text.substr(0, answer.length + 1), std::string(expected.c_str(), expected.size() + 1))
        << c.key;
  }
}

TEST(WsBuildHandshakeAnswer, RefusesWhatDoesNotFit) {
  WsHandshake no_key;
  EXPECT_FALSE(Build(no_key, 256).built);

  std::string long_key(agent::kWsMaxKeyLength + 1, 'x');
  WsHandshake too_long;
  too_long.key = long_key.data();
  const Answer refused = Build(too_long, 256);
  EXPECT_FALSE(refused.built);
  EXPECT_EQ(refused.length, 0u);
  EXPECT_EQ(refused.text, std::string(256, '\x5A'));

  size_t length = 7;
  std::string key = kSampleKey;
  WsHandshake record;
  record.key = key.data();
  EXPECT_FALSE(agent::wsBuildHandshakeAnswer(record, nullptr, 256, length));
  EXPECT_EQ(length, 0u);
}

TEST(WsBuildHandshakeAnswer, EveryCapacity) {
  std::string key = kSampleKey;
  WsHandshake record;
  record.key = key.data();
  for (size_t capacity = 0; capacity <= agent::kWsHandshakeAnswerLength + 2; ++capacity) {
    const Answer answer = Build(record, capacity);
    if (capacity <= agent::kWsHandshakeAnswerLength) {
      EXPECT_FALSE(answer.built) << capacity;
      EXPECT_EQ(answer.length, 0u) << capacity;
      EXPECT_EQ(answer.text, std::string(capacity, '\x5A')) << "written at capacity " << capacity;
    } else {
      EXPECT_TRUE(answer.built) << capacity;
      EXPECT_EQ(answer.text.substr(0, sizeof kSampleAnswer),
                std::string(kSampleAnswer, sizeof kSampleAnswer));
    }
  }
}

TEST(WsAnswers, TheRefusalsByteForByte) {
  EXPECT_EQ(std::string(agent::kWsNotFoundAnswer), "HTTP/1.1 404 Not Found\r\n\r\n");
  EXPECT_EQ(std::string(agent::kWsBadRequestAnswer),
            "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\n\r\n");
  EXPECT_EQ(std::string(agent::kWsAgentResource), "/VEVU");
  EXPECT_EQ(sizeof kSampleAnswer - 1, agent::kWsHandshakeAnswerLength);
}

}  // namespace
