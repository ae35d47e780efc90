#include "dispatcher/print_command.h"

#include "common/agent_log.h"
#include "platform/text.h"

namespace agent {
namespace {

// The print data buffer holds 100,000 bytes; longer print data is refused
// rather than cut, so that nothing half printed leaves the shop.
constexpr size_t kMaxPrintData = 100000;
// The data length field: from p+8 up to the "PRNT", at most six digits.
constexpr size_t kMaxLengthDigits = 6;
// A malformed print request gets the reply of a malformed payment request.
constexpr int kMalformed = 99;

}  // namespace

bool IsPrintRequest(const Request& r) {
  const bool vevu = r.Has(4, kKind) || r.Has(5, kKind);
  return vevu && (r.Has(16, "PRNT") || r.Has(17, "PRNT") || r.Has(18, "PRNT"));
}

void RunPrintCommand(const Request& r, const LinkBinding& binding, int port, int baud,
                     Reply& reply) {
  // p: where "VEVU" stands; q: where "PRNT" starts.
  const size_t p = r.Has(4, kKind) ? 4 : 5;
  size_t q = p + 8;
  while (q <= 18 && r.At(q) != 'P') ++q;
  const long long length =
      q - (p + 8) <= kMaxLengthDigits ? DigitsValue(r, p + 8, q - (p + 8)) : -1;

  WriteAgentLog(0, "DLL_LOGIC", "VEVU - OrvaprintV105 call");
  if (length < 4 || static_cast<size_t>(length - 4) > kMaxPrintData) {
    WriteAgentLog(0, "DLL_LOGIC", "PrintMsg Error(-)");
    AppendFailureReply(reply, kMalformed);
    return;
  }
  const std::string_view data = r.Slice(q + 4, static_cast<size_t>(length - 4));
  const std::string ansi = platform::Utf16ToCp949(platform::Utf8ToUtf16(data));

  const int result = binding.Orva_Print(port, baud, ansi.c_str(), static_cast<int>(ansi.size()));
  if (result == 1) {
    WriteAgentLog(0, "DLL_LOGIC", "Success(1)");
    reply.AppendNumber(12);
    reply.Append(kKind);
    reply.Append("0000");
    reply.AppendNumber(0);
    return;
  }
  WriteAgentLog(0, "DLL_LOGIC", "Fail(-)");
  AppendFailureReply(reply, result);
}

}  // namespace agent
