// The checks of the opt-in hardening, as pure functions over the texts a
// browser sends and a shop writes into its settings.
#include "common/security.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace agent {
namespace {

TEST(Security, OriginListIsSplitAtBlanksAndCommasAndNormalised) {
  EXPECT_EQ(ParseOriginList("https://pos.example.com http://localhost:3000"),
            (std::vector<std::string>{"https://pos.example.com", "http://localhost:3000"}));
  EXPECT_EQ(ParseOriginList(" ,HTTPS://POS.Example.com/,\thttp://a:80 ,, https://b:443 null"),
            (std::vector<std::string>{"https://pos.example.com", "http://a", "https://b", "null"}));
  EXPECT_TRUE(ParseOriginList(" , ").empty());
  EXPECT_TRUE(ParseOriginList("").empty());
}

TEST(Security, OriginIsServedOnlyWhenListed) {
  const std::vector<std::string> listed =
      ParseOriginList("https://pos.example.com http://localhost:3000");
  const std::vector<std::string> with_null = ParseOriginList("https://pos.example.com null");
  const struct {
    const std::vector<std::string>* allowed;
    const char* origin;
    bool served;
  } cases[] = {
      {&listed, "https://pos.example.com", true},
      {&listed, "https://POS.example.com", true},
      {&listed, "https://pos.example.com:443", true},
      {&listed, "http://localhost:3000", true},
      {&listed, nullptr, true},  // a local program, not a browser
      {&listed, "http://pos.example.com", false},
      {&listed, "https://pos.example.com.evil.test", false},
      {&listed, "https://evil.test", false},
      {&listed, "http://localhost:3001", false},
      {&listed, "null", false},
      {&listed, "", false},  // several Origin fields
      {&with_null, "null", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin != nullptr ? c.origin : "(none)");
    EXPECT_EQ(OriginAllowed(*c.allowed, c.origin), c.served);
  }
  // No list: everything is served, as without the setting.
  EXPECT_TRUE(OriginAllowed({}, "https://evil.test"));
  EXPECT_TRUE(OriginAllowed({}, ""));
}

TEST(Security, HostMustNameThisServerOnTheLoopback) {
  const struct {
    const char* host;
    bool loopback;
  } cases[] = {
      {"127.0.0.1:9088", true},
      {"localhost:9088", true},
      {"LocalHost:9088", true},
      {"127.0.0.1:9089", false},
      {"127.0.0.1", false},
      {"127.0.0.2:9088", false},
      {"evil.test:9088", false},
      {"localhost.evil.test:9088", false},
      {"[::1]:9088", false},
      {":9088", false},
      {"", false},
      {nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host != nullptr ? c.host : "(none)");
    EXPECT_EQ(HostIsLoopback(c.host, 9088), c.loopback);
  }
}

TEST(Security, BareFileNames) {
  for (const char* name : {"", "a.bmp", "Signdata.bmp", "x..bmp", "...", "서명.bmp"}) {
    EXPECT_TRUE(IsBareFileName(name)) << name;
  }
  for (const char* name : {".", "..", "../a.bmp", "a/b.bmp", "a\\b.bmp", "C:a.bmp", "C:\\a.bmp",
                           "/etc/a", "\\\\server\\share\\a", "a\nb", "a\tb"}) {
    EXPECT_FALSE(IsBareFileName(name)) << name;
  }
}

}  // namespace
}  // namespace agent
