#include "common/agent_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_root.h"

namespace agent {
namespace {

std::string FolderOf(const ovt_test::TempRoot& root) { return root.path() + "/OVVarsel"; }
std::string IniOf(const ovt_test::TempRoot& root) { return FolderOf(root) + "/OVVARSEL.ini"; }

void WriteIni(const ovt_test::TempRoot& root, const std::string& content) {
  std::filesystem::create_directories(FolderOf(root));
  ovt_test::WriteFile(IniOf(root), content);
}

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

struct KeyCase {
  std::u16string_view section;
  std::u16string_view key;
  const char16_t* table_default;
};

const std::vector<KeyCase>& AllKeys() {
  static const std::vector<KeyCase> keys = {
      {kSectionHttp, kKeyWebMode, u"0"},
      {kSectionHttp, kKeyServerPortWebsocket, u"8088"},
      {kSectionHttp, kKeyServerPortAjax, u"9088"},
      {kSectionHttp, kKeyGet, u"N"},
      {kSectionCat, kKeyCatComPort, u""},
      {kSectionCat, kKeyCatComBaud, u""},
  };
  return keys;
}

TEST(AgentConfig, MissingFolderGivesDefaultsAndAWriteCreatesNothing) {
  ovt_test::TempRoot root;
  for (const KeyCase& k : AllKeys()) {
    SCOPED_TRACE(std::string(k.key.begin(), k.key.end()));
    EXPECT_EQ(ReadAgentSetting(k.section, k.key, u""), u"");
    EXPECT_EQ(ReadAgentSetting(k.section, k.key, u"fallback"), u"fallback");
    EXPECT_EQ(ResolveAgentSetting(k.section, k.key), k.table_default);
  }
  EXPECT_FALSE(WriteAgentSetting(kSectionCat, kKeyCatComPort, u"3"));
  EXPECT_FALSE(std::filesystem::exists(FolderOf(root)));
  EXPECT_EQ(ResolveAgentSetting(kSectionCat, kKeyCatComPort), u"");
}

TEST(AgentConfig, AWriteCreatesFileSectionAndKeyAndReplacesTheValue) {
  ovt_test::TempRoot root;
  std::filesystem::create_directories(FolderOf(root));
  ASSERT_FALSE(std::filesystem::exists(IniOf(root)));

  EXPECT_TRUE(WriteAgentSetting(kSectionCat, kKeyCatComPort, u"3"));
  EXPECT_TRUE(std::filesystem::exists(IniOf(root)));
  EXPECT_TRUE(WriteAgentSetting(kSectionCat, kKeyCatComBaud, u"115200"));
  EXPECT_TRUE(WriteAgentSetting(kSectionHttp, kKeyWebMode, u"1"));
  EXPECT_EQ(ReadAgentSetting(kSectionCat, kKeyCatComPort, u""), u"3");
  EXPECT_EQ(ReadAgentSetting(kSectionCat, kKeyCatComBaud, u""), u"115200");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyWebMode), u"1");

  EXPECT_TRUE(WriteAgentSetting(kSectionCat, kKeyCatComPort, u"12"));
  EXPECT_EQ(ReadAgentSetting(kSectionCat, kKeyCatComPort, u""), u"12");
  EXPECT_EQ(ReadAgentSetting(kSectionCat, kKeyCatComBaud, u""), u"115200");
  // Nothing else in the file answers to the key: one line holds it.
  const std::string content = ovt_test::ReadFile(IniOf(root));
  EXPECT_EQ(content.find("CatComPort"), content.rfind("CatComPort"));
}

struct ResolveCase {
  const char* name;
  const char* ini;  // the whole file
  std::u16string_view section;
  std::u16string_view key;
  const char16_t* resolved;
  int number;
};

void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.name; }

class Resolve : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(Resolve, GivesTheValueOrTheTableDefault) {
  const ResolveCase& c = GetParam();
  ovt_test::TempRoot root;
  WriteIni(root, c.ini);
  const std::u16string value = ResolveAgentSetting(c.section, c.key);
  EXPECT_EQ(value, c.resolved);
  EXPECT_EQ(ParseSettingNumber(value), c.number);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Resolve,
    ::testing::Values(
        ResolveCase{"WebModeMissing", "[HTTP]\r\nGET=Y\r\n", kSectionHttp, kKeyWebMode, u"0", 0},
        ResolveCase{"WebModeEmpty", "[HTTP]\r\nWebMode=\r\n", kSectionHttp, kKeyWebMode, u"0", 0},
        ResolveCase{"WebModeTwo", "[HTTP]\r\nWebMode=2\r\n", kSectionHttp, kKeyWebMode, u"2", 2},
        ResolveCase{"WebsocketPortMissing", "[CAT]\r\nCatComPort=3\r\n", kSectionHttp,
                    kKeyServerPortWebsocket, u"8088", 8088},
        ResolveCase{"WebsocketPortEmpty", "[HTTP]\r\nServerPortWebsocket=\r\n", kSectionHttp,
                    kKeyServerPortWebsocket, u"8088", 8088},
        ResolveCase{"WebsocketPortAbc", "[HTTP]\r\nServerPortWebsocket=abc\r\n", kSectionHttp,
                    kKeyServerPortWebsocket, u"abc", 0},
        ResolveCase{"WebsocketPort80x", "[HTTP]\r\nServerPortWebsocket=80x\r\n", kSectionHttp,
                    kKeyServerPortWebsocket, u"80x", 80},
        ResolveCase{"AjaxPortEmpty", "[HTTP]\r\nServerPortAjax=\r\n", kSectionHttp,
                    kKeyServerPortAjax, u"9088", 9088},
        ResolveCase{"AjaxPortSet", "[HTTP]\r\nServerPortAjax=9100\r\n", kSectionHttp,
                    kKeyServerPortAjax, u"9100", 9100},
        ResolveCase{"GetMissing", "[HTTP]\r\nWebMode=1\r\n", kSectionHttp, kKeyGet, u"N", 0},
        ResolveCase{"GetLowerY", "[HTTP]\r\nGET=y\r\n", kSectionHttp, kKeyGet, u"y", 0},
        ResolveCase{"GetUpperY", "[HTTP]\r\nGET=Y\r\n", kSectionHttp, kKeyGet, u"Y", 0},
        ResolveCase{"ComPortMissing", "[HTTP]\r\nWebMode=0\r\n", kSectionCat, kKeyCatComPort, u"",
                    0},
        ResolveCase{"ComPortEmpty", "[CAT]\r\nCatComPort=\r\n", kSectionCat, kKeyCatComPort, u"",
                    0},
        ResolveCase{"ComPortSet", "[CAT]\r\nCatComPort=5\r\nCatComBaud=9600\r\n", kSectionCat,
                    kKeyCatComPort, u"5", 5},
        ResolveCase{"ComBaudSet", "[CAT]\r\nCatComPort=5\r\nCatComBaud=9600\r\n", kSectionCat,
                    kKeyCatComBaud, u"9600", 9600},
        // A key of the other section is not this section's key.
        ResolveCase{"WrongSection", "[CAT]\r\nWebMode=1\r\n", kSectionHttp, kKeyWebMode, u"0",
                    0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AgentConfig, AValueOfSeventyCharactersIsCutToItsFirst63) {
  ovt_test::TempRoot root;
  std::string seventy;
  for (int i = 0; i < 70; ++i) seventy += static_cast<char>('0' + i % 10);
  WriteIni(root, "[HTTP]\r\nServerPortAjax=" + seventy + "\r\n");
  const std::u16string expected = Widen(seventy.substr(0, 63));
  EXPECT_EQ(ReadAgentSetting(kSectionHttp, kKeyServerPortAjax, u""), expected);
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyServerPortAjax), expected);
  // The cut also holds for a default handed to the read.
  const std::u16string long_default(70, u'd');
  EXPECT_EQ(ReadAgentSetting(kSectionHttp, u"Missing", long_default), long_default.substr(0, 63));
  // A value that fits is whole.
  WriteIni(root, "[HTTP]\r\nServerPortAjax=" + seventy.substr(0, 63) + "\r\n");
  EXPECT_EQ(ReadAgentSetting(kSectionHttp, kKeyServerPortAjax, u""), expected);
}

TEST(AgentConfig, GetIsReadWithTheDefaultN) {
  ovt_test::TempRoot root;
  WriteIni(root, "[HTTP]\r\nWebMode=1\r\n");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyGet), u"N");
  WriteIni(root, "[HTTP]\r\nGET=Y\r\n");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyGet), u"Y");
}

TEST(AgentConfig, AWriteKeepsTheOtherLinesOfTheFile) {
  ovt_test::TempRoot root;
  const std::vector<std::string> lines = {
      "; written by hand", "[CAT]", "CatComPort=4", "CatComBaud=38400", "",
      "[HTTP]",            "WebMode=1", "ServerPortAjax=9200", "GET=Y"};
  std::string content;
  for (const std::string& line : lines) content += line + "\r\n";
  WriteIni(root, content);

  ASSERT_TRUE(WriteAgentSetting(kSectionHttp, kKeyServerPortAjax, u"9300"));
  ASSERT_TRUE(WriteAgentSetting(kSectionHttp, kKeyServerPortWebsocket, u"8100"));

  const std::string after = ovt_test::ReadFile(IniOf(root));
  for (const std::string& line : lines) {
    if (line == "ServerPortAjax=9200" || line.empty()) continue;
    EXPECT_NE(after.find(line), std::string::npos) << line << "\n" << after;
  }
  EXPECT_EQ(after.find("9200"), std::string::npos) << after;
  EXPECT_LT(after.find("; written by hand"), after.find("[CAT]"));
  EXPECT_LT(after.find("[CAT]"), after.find("[HTTP]"));
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyServerPortAjax), u"9300");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyServerPortWebsocket), u"8100");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyWebMode), u"1");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyGet), u"Y");
  EXPECT_EQ(ResolveAgentSetting(kSectionCat, kKeyCatComPort), u"4");
  EXPECT_EQ(ResolveAgentSetting(kSectionCat, kKeyCatComBaud), u"38400");
}

TEST(AgentConfig, EveryCallReadsTheFileAgainAtTheCurrentRoot) {
  ovt_test::TempRoot first;
  WriteIni(first, "[HTTP]\r\nWebMode=1\r\n");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyWebMode), u"1");
  // Edited by hand: the next read sees it.
  WriteIni(first, "[HTTP]\r\nWebMode=0\r\nServerPortWebsocket=8200\r\n");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyWebMode), u"0");
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyServerPortWebsocket), u"8200");
  {
    ovt_test::TempRoot second;  // points the data root elsewhere while it lives
    EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyServerPortWebsocket), u"8088");
    EXPECT_FALSE(WriteAgentSetting(kSectionHttp, kKeyWebMode, u"1"));
  }
  EXPECT_EQ(ResolveAgentSetting(kSectionHttp, kKeyServerPortWebsocket), u"8200");
}

struct NumberCase {
  const char* text;
  int value;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParseNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumber, ConvertsAsADecimalInteger) {
  const NumberCase& c = GetParam();
  EXPECT_EQ(ParseSettingNumber(std::string_view(c.text)), c.value);
  EXPECT_EQ(ParseSettingNumber(Widen(c.text)), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseNumber,
    ::testing::Values(NumberCase{"", 0}, NumberCase{"abc", 0}, NumberCase{"80x", 80},
                      NumberCase{"8088", 8088}, NumberCase{"007", 7}, NumberCase{"   42", 42},
                      NumberCase{"\t7", 7}, NumberCase{" \t\r\n\v\f9", 9},
                      NumberCase{"-12", -12}, NumberCase{"  -12", -12}, NumberCase{"+5", 5},
                      NumberCase{"-", 0}, NumberCase{"+", 0}, NumberCase{"+-3", 0},
                      NumberCase{"- 3", 0}, NumberCase{"12 34", 12}, NumberCase{"x12", 0},
                      NumberCase{"2147483647", INT_MAX}, NumberCase{"2147483648", INT_MAX},
                      NumberCase{"99999999999999999999999999", INT_MAX},
                      NumberCase{"-2147483648", INT_MIN}, NumberCase{"-2147483649", INT_MIN},
                      NumberCase{"-99999999999999999999999999", INT_MIN},
                      NumberCase{"00000000000000000000000042", 42}));

TEST(ParseNumber, OnlyAsciiDigitsAndBlanksCount) {
  // A full-width digit and an ideographic space are neither digits nor blanks.
  EXPECT_EQ(ParseSettingNumber(std::u16string_view(u"\uFF18\uFF10")), 0);
  EXPECT_EQ(ParseSettingNumber(std::u16string_view(u"\u300080")), 0);
  EXPECT_EQ(ParseSettingNumber(std::u16string_view(u"80\uFF10")), 80);
}

}  // namespace
}  // namespace agent
