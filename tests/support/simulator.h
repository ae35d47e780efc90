// The terminal simulator (catsim) as a child process of a test.
//
//   ovt_test::TempRoot root;
//   ovt_test::Simulator sim(root, 5, "answer", {"--answer", "HELLO"});
//   ASSERT_TRUE(sim.Ready());
//   ... run an exchange on "COM5" ...
//   EXPECT_EQ(sim.Received(), Simulator::RequestFrame("ABC"));  // plus ACKs
//
// The constructor starts catsim with --root, --com, --scenario, a --record
// file (unless the extra arguments name one) and the extra arguments, and
// waits up to 10 s for its READY line. catsim then has made the link
// <root>/dosdevices/com<N> to its pseudo-terminal. The destructor stops it
// with SIGTERM (SIGKILL if it has not ended 5 s later) and reaps it; catsim
// removes its link when it stops. Should the test process die instead,
// catsim notices its stdout pipe losing the reader and stops as well.
//
// Record file lines (written by catsim as things happen):
//   "RX <hex>" a chunk received, "TX <hex>" one write made,
//   "LRC OK" / "LRC BAD <hh>" a request frame ended (hh: the right LRC),
//   "TRAILER BAD <hh>" a request frame had hh instead of 17 after its ETX.
//   "BAUD <rate>" the line speed at which a request frame or raw command
//   was complete (0: a speed catsim cannot name).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ovt_test {

class TempRoot;

class Simulator {
 public:
  // `program` names another catsim than the one the build makes (a
  // benchmark run against another build); empty: the built one.
  Simulator(const std::filesystem::path& root, int com, const std::string& scenario,
            const std::vector<std::string>& extra_args = {}, const std::string& program = {});
  Simulator(const TempRoot& root, int com, const std::string& scenario,
            const std::vector<std::string>& extra_args = {}, const std::string& program = {});
  ~Simulator();

  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // True once catsim printed READY (and has not been stopped since).
  bool Ready() const { return ready_; }
  // Why it is not ready; empty when it is.
  const std::string& Error() const { return error_; }

  // The pseudo-terminal slave that the link points at, e.g. "/dev/pts/3".
  const std::string& SlavePath() const { return slave_path_; }
  // <root>/dosdevices/com<N>.
  std::filesystem::path LinkPath() const;
  const std::filesystem::path& RecordPath() const { return record_path_; }
  pid_t Pid() const { return pid_; }

  // Everything catsim has received so far: the bytes of all RX lines in
  // order. Sent(): the bytes of all TX lines.
  std::vector<uint8_t> Received() const;
  std::vector<uint8_t> Sent() const;
  // The record file's lines, without line ends.
  std::vector<std::string> RecordLines() const;

  // Wait (without spinning: the record file is watched) until catsim has
  // received at least `count` bytes, or until `count` record lines start
  // with `prefix`. False when the time ran out first.
  bool WaitForReceived(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForLines(std::string_view prefix, size_t count,
                    std::chrono::milliseconds timeout) const;

  // Waits for catsim to end on its own (e.g. with --exchanges). True when it
  // did; `exit_code` gets its exit status (-1 when ended by a signal).
  bool WaitForExit(std::chrono::milliseconds timeout, int* exit_code = nullptr);

  // SIGTERM, then waits (SIGKILL after 5 s). Idempotent; the destructor
  // calls it.
  void Stop();

  // The bytes the library sends for a request text: STX, text, ETX, 0x17,
  // LRC (XOR of the text bytes and the ETX).
  static std::vector<uint8_t> RequestFrame(std::string_view text);
  // An answer frame as catsim sends it: STX, answer, ETX, LRC (XOR of the
  // answer bytes and the ETX).
  static std::vector<uint8_t> AnswerFrame(std::string_view answer);
  // catsim's answer text when none is given: "OK:" + request + " " and the
  // code page 949 bytes BD C2 C0 CE (the Korean word for "approved").
  static std::string DefaultAnswer(std::string_view request);
  // catsim's reply to a raw command: the raw answer text and one ACK.
  static std::vector<uint8_t> RawReply(std::string_view raw_answer = "TQSIM OK");

 private:
  bool WaitForRecord(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout) const;
  bool Reap(std::chrono::milliseconds timeout, int* exit_code);
  std::vector<uint8_t> TaggedBytes(std::string_view tag) const;

  int com_ = 0;
  std::filesystem::path root_;
  std::filesystem::path record_path_;
  std::string slave_path_;
  std::string error_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdout_fd_ = -1;  // read end of catsim's stdout, open while it runs
  bool ready_ = false;
};

}  // namespace ovt_test
