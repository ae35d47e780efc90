#include "scenario.h"

#include <array>

#include "frame_reader.h"

namespace catsim {

namespace {

// Bytes before the ACK in the "noise" scenario: none of them is a byte the
// host's receive state machine acts on (STX, ETX, EOT, ACK, NAK, 0x40).
constexpr std::array<uint8_t, 4> kNoise = {0x5A, 0x5A, 0x11, 0x7E};
constexpr std::string_view kTrailing = "XYZ";

Bytes One(uint8_t byte) { return Bytes{byte}; }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A write made at once (after the --delay).
Write Now(Bytes bytes) { return Write{std::move(bytes), false}; }
// A write made once the host has answered the terminal's ACK with its own.
Write AfterHostAck(Bytes bytes) { return Write{std::move(bytes), true}; }

std::vector<Write> Answer(const ReplyContext& c) {
  return {Now(One(kAck)), AfterHostAck(AnswerFrame(c.answer))};
}

std::vector<Write> Nak(const ReplyContext&) { return {Now(One(kNak))}; }
std::vector<Write> Eot(const ReplyContext&) { return {Now(One(kEot))}; }

std::vector<Write> AckEot(const ReplyContext&) {
  return {Now(One(kAck)), AfterHostAck(One(kEot))};
}

std::vector<Write> AckNak(const ReplyContext&) {
  return {Now(One(kAck)), AfterHostAck(One(kNak))};
}

std::vector<Write> Silent(const ReplyContext&) { return {}; }
std::vector<Write> AckSilent(const ReplyContext&) { return {Now(One(kAck))}; }

std::vector<Write> AckPartial(const ReplyContext& c) {
  Bytes partial{kStx};
  partial.insert(partial.end(), c.answer.begin(),
                 c.answer.begin() + static_cast<std::ptrdiff_t>(c.answer.size() / 2));
  return {Now(One(kAck)), AfterHostAck(std::move(partial))};
}

// The at sign counts as an acknowledgement, so the host answers it with ACK.
std::vector<Write> AtAck(const ReplyContext& c) {
  return {Now(One(kAtSign)), AfterHostAck(AnswerFrame(c.answer))};
}

std::vector<Write> Noise(const ReplyContext& c) {
  return {Now(Bytes(kNoise.begin(), kNoise.end())), Now(One(kAck)),
          AfterHostAck(AnswerFrame(c.answer))};
}

std::vector<Write> Trailing(const ReplyContext& c) {
  return {Now(One(kAck)),
          AfterHostAck(Concat(AnswerFrame(c.answer), Bytes(kTrailing.begin(), kTrailing.end())))};
}

// Everything at once: the answer is on the line before the host could send
// its ACK.
std::vector<Write> AckThenAnswerOneWrite(const ReplyContext& c) {
  return {Now(Concat(One(kAck), AnswerFrame(c.answer)))};
}

// A raw command is answered with its reply text and one ACK, in one write;
// the host sends nothing back to a raw command.
std::vector<Write> RawReply(const ReplyContext& c) {
  return {Now(Concat(c.raw_answer, One(kAck)))};
}

constexpr Scenario kScenarios[] = {
    {"answer", "ACK; after the host's ACK the answer frame", Answer, RawReply},
    {"nak", "NAK instead of ACK", Nak, RawReply},
    {"eot", "EOT instead of ACK", Eot, RawReply},
    {"ack-eot", "ACK; after the host's ACK an EOT", AckEot, RawReply},
    {"ack-nak", "ACK; after the host's ACK a NAK", AckNak, RawReply},
    {"silent", "nothing at all, raw commands included", Silent, nullptr},
    {"ack-silent", "ACK only", AckSilent, RawReply},
    {"ack-partial",
     "ACK; after the host's ACK STX and the first half of the answer, no ETX",
     AckPartial, RawReply},
    {"at-ack", "0x40 instead of ACK; after the host's ACK the answer frame",
     AtAck, RawReply},
    {"noise", "5A 5A 11 7E; ACK; after the host's ACK the answer frame", Noise,
     RawReply},
    {"trailing", "ACK; after the host's ACK the answer frame and \"XYZ\" in one write",
     Trailing, RawReply},
    {"ack-then-answer-one-write", "ACK and the answer frame in one write",
     AckThenAnswerOneWrite, RawReply},
    {"printer", "a receipt printer: records every byte, never parses, never replies",
     Silent, nullptr, /*takes_requests=*/false},
};

}  // namespace

std::span<const Scenario> Scenarios() { return kScenarios; }

const Scenario* FindScenario(std::string_view name) {
  for (const Scenario& s : kScenarios) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

Bytes AnswerFrame(const Bytes& answer) {
  Bytes frame;
  frame.reserve(answer.size() + 3);
  frame.push_back(kStx);
  frame.insert(frame.end(), answer.begin(), answer.end());
  frame.push_back(kEtx);
  frame.push_back(static_cast<uint8_t>(Lrc(answer.data(), answer.size()) ^ kEtx));
  return frame;
}

Bytes DefaultAnswer(const Bytes& request_text) {
  static constexpr std::string_view kPrefix = "OK:";
  static constexpr uint8_t kApproved[] = {0xBD, 0xC2, 0xC0, 0xCE};
  Bytes answer(kPrefix.begin(), kPrefix.end());
  answer.insert(answer.end(), request_text.begin(), request_text.end());
  answer.push_back(' ');
  answer.insert(answer.end(), std::begin(kApproved), std::end(kApproved));
  return answer;
}

Bytes DefaultRawAnswer() {
  static constexpr std::string_view kText = "TQSIM OK";
  return Bytes(kText.begin(), kText.end());
}

}  // namespace catsim
