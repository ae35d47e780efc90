#include "options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "scenario.h"

namespace catsim {

namespace {

bool ParseNumber(const char* text, long long min, long long max, long long* out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const char* UsageText() {
  return "usage: catsim --root DIR --com N [--scenario NAME] [--answer TEXT]\n"
         "              [--answer-hex HEX] [--raw-answer TEXT] [--delay MS]\n"
         "              [--record FILE] [--hold] [--exchanges K] [--baud RATE]\n";
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == ':') {
      if (high >= 0) return false;  // a separator inside a byte
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0;
}

ParseResult ParseOptions(int argc, char** argv, Options* options,
                         std::string* error) {
  bool have_root = false;
  bool have_com = false;
  bool have_raw_answer = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return ParseResult::kHelp;
    if (arg == "--hold") {
      options->hold = true;
      continue;
    }
    const bool takes_value =
        arg == "--root" || arg == "--com" || arg == "--scenario" ||
        arg == "--answer" || arg == "--answer-hex" || arg == "--raw-answer" ||
        arg == "--delay" || arg == "--record" || arg == "--exchanges" ||
        arg == "--baud";
    if (!takes_value) {
      *error = "unknown argument: " + std::string(arg);
      return ParseResult::kError;
    }
    if (i + 1 >= argc) {
      *error = std::string(arg) + " needs a value";
      return ParseResult::kError;
    }
    const char* value = argv[++i];
    long long number = 0;
    if (arg == "--root") {
      options->root = value;
      have_root = !options->root.empty();
    } else if (arg == "--com") {
      if (!ParseNumber(value, 1, INT_MAX, &number)) {
        *error = "--com wants a positive port number";
        return ParseResult::kError;
      }
      options->com = static_cast<int>(number);
      have_com = true;
    } else if (arg == "--scenario") {
      options->scenario = value;
    } else if (arg == "--answer" || arg == "--answer-hex") {
      if (options->answer) {
        *error = "give at most one of --answer and --answer-hex";
        return ParseResult::kError;
      }
      std::vector<uint8_t> bytes;
      if (arg == "--answer") {
        const std::string_view text = value;
        bytes.assign(text.begin(), text.end());
      } else if (!ParseHex(value, &bytes)) {
        *error = "--answer-hex wants pairs of hex digits";
        return ParseResult::kError;
      }
      options->answer = std::move(bytes);
    } else if (arg == "--raw-answer") {
      const std::string_view text = value;
      options->raw_answer.assign(text.begin(), text.end());
      have_raw_answer = true;
    } else if (arg == "--delay") {
      if (!ParseNumber(value, 0, INT_MAX, &number)) {
        *error = "--delay wants a number of milliseconds (0 or more)";
        return ParseResult::kError;
      }
      options->delay_ms = static_cast<int>(number);
    } else if (arg == "--record") {
      options->record = value;
    } else if (arg == "--exchanges") {
      if (!ParseNumber(value, 1, LLONG_MAX, &number)) {
        *error = "--exchanges wants a positive count";
        return ParseResult::kError;
      }
      options->exchanges = number;
    } else if (arg == "--baud") {
      if (!ParseNumber(value, 1, INT_MAX, &number)) {
        *error = "--baud wants a positive line speed in bits per second";
        return ParseResult::kError;
      }
      options->baud = static_cast<int>(number);
    }
  }
  if (!have_root || !have_com) {
    *error = "--root and --com are required";
    return ParseResult::kError;
  }
  const Scenario* scenario = FindScenario(options->scenario);
  if (scenario == nullptr) {
    *error = "unknown scenario: " + options->scenario + " (known:";
    for (const Scenario& s : Scenarios()) *error += " " + std::string(s.name);
    *error += ")";
    return ParseResult::kError;
  }
  // --exchanges counts request frames; a line without requests would never
  // reach the count, and catsim would never end on its own.
  if (options->exchanges != 0 && !scenario->takes_requests) {
    *error = "--exchanges needs a scenario that takes requests, not " + options->scenario;
    return ParseResult::kError;
  }
  if (!have_raw_answer) options->raw_answer = DefaultRawAnswer();
  return ParseResult::kOk;
}

}  // namespace catsim
