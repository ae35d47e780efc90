// The dispatcher in a process of its own, for what a test process cannot do
// to itself: end by RRUN, start afresh, be killed while it stores.
//
//   dispatch_probe MODULE_DIR dispatch REQUEST   DllLogic, the reply into
//                                                "probe-reply.txt"
//   dispatch_probe MODULE_DIR store-loop         stores two replies in turn,
//                                                until it is killed
//   dispatch_probe --Restart                     what a restart starts: notes
//                                                its command line in
//                                                "probe-restarted.txt"
// Files are written in the working directory.
#include <fstream>
#include <string>
#include <vector>

#include "dispatcher/agent_message.h"
#include "dispatcher/dll_logic.h"
#include "dispatcher/last_result.h"
#include "platform/module.h"
#include "platform/process.h"

namespace {

void WriteText(const char* path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--Restart") {
    WriteText("probe-restarted.txt", platform::OwnCommandLine());
    return 0;
  }
  if (argc < 3) return 2;
  platform::testing::SetModuleDirectory(argv[1]);
  const std::string mode = argv[2];
  if (mode == "dispatch" && argc == 4) {
    std::vector<char> request(argv[3], argv[3] + std::string(argv[3]).size() + 1);
    std::vector<char> reply(agent::kReplyBufferSize, '\0');
    agent::DllLogic(request.data(), reply.data());
    WriteText("probe-reply.txt", reply.data());
    return 0;
  }
  if (mode == "store-loop") {
    const agent::Request payment("0016VEVU00000004D1AB");
    const std::string replies[2] = {"0020VEVU00000008\x02" "SHORT1\x03",
                                    "0030VEVU00000018\x02" "A LONGER ANSWER\x03"};
    for (unsigned i = 0;; ++i) agent::StoreLastResult(payment, replies[i % 2]);
  }
  return 2;
}
