#include "dispatcher/dll_logic.h"

#include <cstring>
#include <string>

#include "common/agent_config.h"
#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "common/security.h"
#include "dispatcher/agent_message.h"
#include "dispatcher/last_result.h"
#include "dispatcher/link_binding.h"
#include "dispatcher/print_command.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "shell/restart.h"

namespace agent {
namespace {

constexpr int kAckTimeoutSeconds = 5;
// The answer buffer handed to the link library: far more than the 3001
// bytes it writes at most.
constexpr size_t kAnswerBufferSize = 100000;
constexpr char kFieldSeparator = 0x1C;
// SetBmpFile's own result for a file it cannot create, and its file name
// when given none.
constexpr int kSignatureFileRefused = -5;
constexpr const char* kDefaultSignatureFile = "Signdata.bmp";

void Log(const char* label, const char* text) { WriteAgentLog(0, label, text); }
void Log(const char* text) { Log("DLL_LOGIC", text); }

bool HasTransactionCode(std::string_view data) {
  // The D group starts at D0, the others at 1; SC stands alone.
  static constexpr std::string_view kCodes[] = {
      "D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7", "D8", "A1", "A2", "A3", "A4", "A5",
      "A6", "A7", "A8", "B1", "B2", "B3", "B4", "B5", "B6", "B7", "B8", "C1", "C2", "C3",
      "C4", "C5", "C6", "C7", "C8", "SC"};
  if (data.substr(0, 3) == "***") return true;
  for (std::string_view code : kCodes) {
    if (data.substr(0, 2) == code) return true;
  }
  return false;
}

void Payment(const Request& r, const LinkBinding& b, int port, int baud, Reply& reply) {
  // A data length that is not four digits counts as no data at all: the
  // request then fails the transaction code check below ("0099").
  const long long length = DigitsValue(r, kDataLengthOffset, 4);
  const std::string data(r.Slice(kCommandOffset, length < 0 ? 0 : static_cast<size_t>(length)));
  Log("VEVU - ReqToCat_WS Call");
  Log("orvaSend", data.c_str());
  Log("recievedString", r.text());
  if (!HasTransactionCode(data)) {
    Log("ReqMsg Error(-)");
    reply.Append("0019");
    reply.Append(kKind);
    reply.Append("0099");
    reply.Append("0005");
    reply.Append(kKind);
    reply.Append("1");
    return;
  }
  std::string answer(kAnswerBufferSize, '\0');
  const int result = b.ReqToCat_WS(port, baud, data.c_str(), answer.data(), kAckTimeoutSeconds);
  if (result != 1) {
    Log("Fail(-)");
    AppendFailureReply(reply, result);
    return;
  }
  answer.resize(std::strlen(answer.c_str()));
  Log("Success(1)");
  Log("orvaRecv", answer.c_str());
  reply.AppendNumber(static_cast<long long>(answer.size()) + 12);
  reply.Append(kKind);
  reply.Append("0000");
  reply.AppendNumber(static_cast<long long>(answer.size()));
  reply.Append(answer);
}

void Stop(const LinkBinding& b, Reply& reply) {
  Log("STOP");
  b.ReqStop();
  reply.Append("0019");
  reply.Append(kKind);
  reply.Append("0007");
  reply.Append("0007");
  reply.Append("REQSTOP");
}

void Restart(Reply& reply) {
  Log("RESTART");
  reply.Append("0019");
  reply.Append(kKind);
  reply.Append("0000");
  reply.Append("0007");
  reply.Append("RESTART");
  platform::ShowMessageBox(texts::Wide(texts::kRestartRequested));
  if (LaunchRestartInstance() == 0) {
    platform::ShowMessageBox(texts::Wide(texts::kRestartFailed));
    Log("RESTART Fail");
  }
  TerminateSelf();  // returns only when the own process cannot be ended
}

// The next field of the SBMP arguments: up to the next separator, which is
// overwritten with NUL, or to the end. `at` moves past it; nullptr once
// the end has been reached.
char* SplitField(char*& at, char* end) {
  if (at == nullptr || at > end) return nullptr;
  char* field = at;
  char* sep = static_cast<char*>(std::memchr(at, kFieldSeparator, static_cast<size_t>(end - at)));
  if (sep == nullptr) {
    at = nullptr;
    return field;
  }
  *sep = '\0';
  at = sep + 1;
  return field;
}

void SignatureImage(char* request, const Request& r, const LinkBinding& b, Reply& reply) {
  Log("SETBMPFILE");
  char* const end = request + r.size();
  char* at = request + std::min(r.size(), kArgumentsOffset);
  while (at < end && *at == kFieldSeparator) ++at;  // the first field skips leading separators
  char* fields[3] = {nullptr, nullptr, nullptr};
  if (at < end) fields[0] = SplitField(at, end);
  fields[1] = fields[0] != nullptr ? SplitField(at, end) : nullptr;
  fields[2] = fields[1] != nullptr ? SplitField(at, end) : nullptr;
  const char* sign = fields[0] != nullptr ? fields[0] : "";
  const char* length = fields[1] != nullptr ? fields[1] : "";
  const char* path = fields[2] != nullptr ? fields[2] : "";
  Log(sign);
  Log(length);
  Log(path);
  // With a SignatureFolder set, the request names only a file in it.
  std::string confined;
  const std::string folder = ReadSignatureFolder();
  if (!folder.empty()) {
    if (!IsBareFileName(path)) {
      Log("SignatureFolder: not a bare file name");
      Log("Fail(-)");
      AppendFailureReply(reply, kSignatureFileRefused);
      return;
    }
    confined = platform::DataPath(folder + "\\" + (path[0] != '\0' ? path : kDefaultSignatureFile));
    path = confined.c_str();
  }
  const int result = b.SetBmpFile(sign, ParseSettingNumber(std::string_view(length)), path);
  if (result != 1) {
    Log("Fail(-)");
    AppendFailureReply(reply, result);
    return;
  }
  Log("Success(1)");
  reply.Append("0022");
  reply.Append(kKind);
  reply.Append("0000");
  reply.Append("0010");
  reply.Append("SETBMPFILE");
}

void NoCommand(Reply& reply) {
  Log("NO COMMAND");
  reply.Append("0022");
  reply.Append(kKind);
  reply.Append("0014");
  reply.Append("0010");
  reply.Append("NO COMMAND");
}

}  // namespace

void DllLogic(char* request, char* reply_buffer) {
  LinkBinding binding;
  if (!BindLinkLibraries(binding)) return;

  const int port = ParseSettingNumber(ReadAgentSetting(kSectionCat, kKeyCatComPort, u""));
  const int baud = ParseSettingNumber(ReadAgentSetting(kSectionCat, kKeyCatComBaud, u""));
  const Request r(request);
  Reply reply;

  if (r.IsVevu() && r.HasCommand("LAST")) {
    BuildLastReply(reply);
  } else if (r.IsVevu() && r.HasCommand("RRUN")) {
    Restart(reply);
  } else if (r.IsVevu() && r.HasCommand("SBMP")) {
    SignatureImage(request, r, binding, reply);
  } else if (r.IsVevu() && r.HasCommand("STOP")) {
    Stop(binding, reply);
  } else if (IsPrintRequest(r)) {
    RunPrintCommand(r, binding, port, baud, reply);
  } else if (r.IsVevu()) {
    Payment(r, binding, port, baud, reply);
  } else {
    NoCommand(reply);
  }

  Log("orvaResult");
  Log(reply.text().c_str());
  std::memcpy(reply_buffer, reply.text().c_str(), reply.text().size() + 1);
  StoreLastResult(r, reply.text());
}

}  // namespace agent
