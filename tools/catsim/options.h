// Command line of catsim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace catsim {

struct Options {
  std::string root;                            // --root DIR
  int com = 0;                                 // --com N
  std::string scenario = "answer";             // --scenario NAME
  std::optional<std::vector<uint8_t>> answer;  // --answer / --answer-hex
  std::vector<uint8_t> raw_answer;             // --raw-answer TEXT
  int delay_ms = 0;                            // --delay MS
  std::string record;                          // --record FILE; empty: none
  bool hold = false;                           // --hold
  long long exchanges = 0;                     // --exchanges K; 0: unlimited
  int baud = 0;  // --baud RATE: answers only at this line speed; 0: any
};

// The usage text printed for --help and on errors.
const char* UsageText();

enum class ParseResult { kOk, kHelp, kError };

// Parses argv. On kError, `error` says what was wrong. The scenario name is
// checked against the scenario table as well, and --exchanges is refused for
// a scenario that takes no requests (the printer).
ParseResult ParseOptions(int argc, char** argv, Options* options,
                         std::string* error);

// "41 42 43", "414243" and "41:42:43" all give the bytes 41 42 43.
bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes);

}  // namespace catsim
