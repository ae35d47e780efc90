// The receive state machine fed with arbitrary bytes: whatever the terminal
// sends, the machine stays in its four states and never stores outside the
// receive buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "catcomm_protocol.h"

namespace {

struct CountingEffects final : telquin::StepEffects {
  int acks = 0;
  void Log(const char*) override {}
  void SendAnswerAck() override { ++acks; }
  void EmptyQueue() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  telquin::RecvState state;
  state.ResetLink();
  CountingEffects fx;
  for (size_t i = 0; i < size; ++i) {
    const int outcome = telquin::StepByStep(state, data[i], fx);
    if (outcome != 0 && outcome != 1 && outcome != 3 && outcome != 4) std::abort();
    const int step = state.m_nStep;
    if (step != 0 && step != 10 && step != 11 && step != 15) std::abort();
    const int len = state.m_nRecvLen;
    if (len < 0 || len > telquin::kRecvMsgSize) std::abort();
    // A completed frame starts with STX and ends with ETX.
    if (outcome == 1 && state.m_nResult == telquin::kResultComplete && fx.acks > 0 &&
        step == telquin::kStepWaiting && data[i] == telquin::kETX) {
      if (state.m_szRecvMsg.Load(0) != telquin::kSTX ||
          state.m_szRecvMsg.Load(len - 1) != telquin::kETX) {
        std::abort();
      }
    }
  }
  return 0;
}
