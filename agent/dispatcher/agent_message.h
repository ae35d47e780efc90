// The agent message: a fixed-width ASCII header and the command or data.
//
// Request:  [0,4) total length  [4,8) "VEVU"  [8,12) code  [12,16) data
//           length  [16,20) command, or the payment data from 16 on
// Reply:    [0,4) length of what follows  [4,8) "VEVU"  [8,12) result code
//           [12,16) data length  [16,...) data
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace agent {

inline constexpr size_t kReplyBufferSize = 4096;  // the caller's reply buffer
inline constexpr size_t kKindOffset = 4;
inline constexpr size_t kDataLengthOffset = 12;
inline constexpr size_t kCommandOffset = 16;
inline constexpr size_t kArgumentsOffset = 20;
inline constexpr std::string_view kKind = "VEVU";

// A request as the dispatcher reads it: positions past its end read as NUL.
class Request {
 public:
  explicit Request(const char* text);
  char At(size_t offset) const { return offset < size_ ? text_[offset] : '\0'; }
  bool Has(size_t offset, std::string_view what) const;
  bool IsVevu() const { return Has(kKindOffset, kKind); }
  bool HasCommand(std::string_view command) const { return Has(kCommandOffset, command); }
  // The bytes from `offset`, at most `count` of them, cut at the end.
  std::string_view Slice(size_t offset, size_t count) const;
  const char* text() const { return text_; }
  size_t size() const { return size_; }

 private:
  const char* text_;
  size_t size_;
};

// A number field as the dispatcher writes it: "%04d", first four
// characters.
std::string Field4(long long value);

// The digits of [offset, offset + width) as a number, or -1 when any of
// them is not a decimal digit (a NUL past the end included).
long long DigitsValue(const Request& request, size_t offset, size_t width);

// The reply under construction: fields appended at a running position. It
// never grows beyond what the caller's buffer holds with its NUL.
class Reply {
 public:
  void Append(std::string_view field);
  void AppendNumber(long long value) { Append(Field4(value)); }
  const std::string& text() const { return text_; }
  bool ResultCodeIs(std::string_view code) const {
    return text_.size() >= 12 && std::string_view(text_).substr(8, 4) == code;
  }

 private:
  std::string text_;
};

// "0019" "VEVU" |result| "0005" "VEVU" "1": the reply for a call that
// returned anything but 1. The total length is the constant "0019" even
// though 17 bytes follow it, as web pages have always received it.
void AppendFailureReply(Reply& reply, long long result);

}  // namespace agent
