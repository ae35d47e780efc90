// INI files read and written through platform/profile.h, on real files.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "support/temp_root.h"

namespace platform {
namespace {

class Profile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = DataPath("C:\\OVVarsel");
    path_ = DataPath("C:\\OVVarsel\\OVVARSEL.ini");
  }
  void MakeFolder() { ASSERT_TRUE(MakeDirectory(folder_)); }
  std::u16string Read(std::u16string_view section, std::u16string_view key,
                      std::u16string_view fallback = u"", size_t size = 64) {
    return ReadProfileValue(path_, section, key, fallback, size);
  }
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  ovt_test::TempRoot root_;
  std::string folder_;
  std::string path_;
};

const std::string kSeventy =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!#$%&()*";

TEST_F(Profile, MissingFolderGivesDefaultsAndWritesFailWithoutCreatingIt) {
  EXPECT_EQ(Read(u"HTTP", u"GET", u"N"), u"N");
  EXPECT_EQ(Read(u"CAT", u"CatComPort"), u"");
  EXPECT_FALSE(WriteProfileValue(path_, u"CAT", u"CatComPort", u"3"));
  EXPECT_FALSE(DirectoryExists(folder_));
  EXPECT_TRUE(DirectoryExists(root_.path()));
}

TEST_F(Profile, MissingFileGivesDefaultsAndAWriteCreatesIt) {
  MakeFolder();
  EXPECT_EQ(Read(u"HTTP", u"WebMode", u"0"), u"0");
  ASSERT_TRUE(WriteProfileValue(path_, u"CAT", u"CatComPort", u"3"));
  EXPECT_EQ(ovt_test::ReadFile(path_), "[CAT]\nCatComPort=3\n");
  EXPECT_EQ(Read(u"CAT", u"CatComPort"), u"3");
}

TEST_F(Profile, ReadsValuesAsTheWindowsFunctionsDo) {
  MakeFolder();
  ovt_test::WriteFile(path_,
                      "Top=before any section\r\n"
                      "; settings\r\n"
                      "\r\n"
                      "[CAT]\r\n"
                      "  CatComPort =  3  \r\n"
                      "CatComBaud=115200\r\n"
                      "Empty=\r\n"
                      "Blank = \t \r\n"
                      "Quoted = \" 8088 \"\r\n"
                      "Single='x'\r\n"
                      "Lone=\"\r\n"
                      "Korean=결과\r\n"
                      "Long=" + kSeventy + "\r\n"
                      ";WebMode=7\r\n"
                      "NoEquals\r\n"
                      "  [ http ]  \r\n"
                      "WebMode\t=\t1\r\n"
                      "ServerPortWebsocket=abc\r\n"
                      "[CAT]\r\n"
                      "Later=yes\r\n"
                      "CatComPort=99");
  struct Case {
    std::u16string section, key, fallback;
    size_t size;
    std::u16string expected;
  };
  const std::u16string long16 = Utf8ToUtf16(kSeventy);
  const Case cases[] = {
      {u"CAT", u"CatComPort", u"", 64, u"3"},
      {u"cat", u"CATCOMPORT", u"", 64, u"3"},  // the first of two wins
      {u"CAT", u"CatComBaud", u"", 64, u"115200"},
      {u"CAT", u"Empty", u"d", 64, u""},  // present but empty: not the default
      {u"CAT", u"Blank", u"d", 64, u""},
      {u"CAT", u"Quoted", u"", 64, u" 8088 "},
      {u"CAT", u"Single", u"", 64, u"x"},
      {u"CAT", u"Lone", u"", 64, u"\""},
      {u"CAT", u"Korean", u"", 64, u"결과"},
      {u"CAT", u"Long", u"", 64, long16.substr(0, 63)},
      {u"CAT", u"Long", u"", 71, long16},
      {u"CAT", u"Long", u"", 1, u""},
      {u"CAT", u"Long", u"d", 0, u""},
      {u"CAT", u"WebMode", u"N", 64, u"N"},  // only in a comment
      {u"CAT", u"NoEquals", u"N", 64, u"N"},
      {u"CAT", u"Top", u"N", 64, u"N"},      // before any section
      {u"HTTP", u"WebMode", u"", 64, u"1"},  // blanks inside the brackets, tabs
      {u"Http", u"serverportwebsocket", u"", 64, u"abc"},
      {u"CAT", u"Later", u"", 64, u"yes"},   // the section's second part
      {u"NoSection", u"Key", u"N  ", 64, u"N"},  // the default loses trailing blanks
      {u"CAT", u"Missing", long16, 64, long16.substr(0, 63)},
      {u"CAT", u"Missing", u"", 64, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.section) + "/" + Utf16ToUtf8(c.key) + " size " +
                 std::to_string(c.size));
    EXPECT_EQ(Read(c.section, c.key, c.fallback, c.size), c.expected);
  }
}

TEST_F(Profile, ACutNeverEndsInHalfASurrogatePair) {
  MakeFolder();
  ovt_test::WriteFile(path_, "[A]\nK=ab\xF0\x9F\x98\x80z\n");
  EXPECT_EQ(Read(u"A", u"K", u"", 4), u"ab");
  EXPECT_EQ(Read(u"A", u"K", u"", 5), u"ab\U0001F600");
}

TEST_F(Profile, AWriteChangesNothingElseInTheFile) {
  MakeFolder();
  struct Case {
    const char* what;
    std::optional<std::string> before;  // nullopt: no file yet
    std::u16string section, key, value;
    std::string after;
  };
  const Case cases[] = {
      {"replaces only the value, keeping comments, blanks and CR LF",
       "; settings\r\n[CAT]\r\n  CatComPort =  3  \r\nCatComBaud=9600\r\n"
       "\r\n[HTTP]\r\nWebMode=0\r\n",
       u"CAT", u"CatComPort", u"7",
       "; settings\r\n[CAT]\r\n  CatComPort =  7  \r\nCatComBaud=9600\r\n"
       "\r\n[HTTP]\r\nWebMode=0\r\n"},
      {"matches names regardless of case and keeps the file's spelling",
       "[CAT]\r\nCatComPort=3\r\n", u"cat", u"CATCOMPORT", u"12", "[CAT]\r\nCatComPort=12\r\n"},
      {"adds a key after the section's last key, before its blank line and comment",
       "[CAT]\r\nA=1\r\n\r\n; about http\r\n[HTTP]\r\nWebMode=0\r\n", u"CAT", u"B", u"2",
       "[CAT]\r\nA=1\r\nB=2\r\n\r\n; about http\r\n[HTTP]\r\nWebMode=0\r\n"},
      {"adds a key right after the header of a section without keys",
       "[CAT]\r\n; none yet\r\n[HTTP]\r\nX=1\r\n", u"CAT", u"A", u"1",
       "[CAT]\r\nA=1\r\n; none yet\r\n[HTTP]\r\nX=1\r\n"},
      {"adds a key to a last section without a final line end", "[CAT]\r\nA=1", u"CAT", u"B",
       u"2", "[CAT]\r\nA=1\r\nB=2"},
      {"appends a new section at the end", "[CAT]\r\nA=1\r\n", u"HTTP", u"WebMode", u"1",
       "[CAT]\r\nA=1\r\n[HTTP]\r\nWebMode=1\r\n"},
      {"ends the last line before appending a section", "[CAT]\nA=1", u"HTTP", u"X", u"1",
       "[CAT]\nA=1\n[HTTP]\nX=1\n"},
      {"keeps LF line ends and comment lines", "[CAT]\n;x=0\nA=1\n", u"CAT", u"B", u"2",
       "[CAT]\n;x=0\nA=1\nB=2\n"},
      {"fills an empty value", "[CAT]\nEmpty=\nNext=1\n", u"CAT", u"Empty", u"5",
       "[CAT]\nEmpty=5\nNext=1\n"},
      {"replaces a quoted value whole", "[CAT]\nQ = \"a b\" \n", u"CAT", u"Q", u"c",
       "[CAT]\nQ = c \n"},
      {"keeps a byte-order mark", "\xEF\xBB\xBF[CAT]\r\nA=1\r\n", u"CAT", u"A", u"2",
       "\xEF\xBB\xBF[CAT]\r\nA=2\r\n"},
      {"fills a file holding only a byte-order mark", "\xEF\xBB\xBF", u"CAT", u"A", u"1",
       "\xEF\xBB\xBF[CAT]\nA=1\n"},
      {"replaces a key in a section's later part", "[CAT]\nA=1\n[HTTP]\nX=1\n[cat]\nB=2\n",
       u"CAT", u"B", u"3", "[CAT]\nA=1\n[HTTP]\nX=1\n[cat]\nB=3\n"},
      {"adds a new key to a section's first part", "[CAT]\nA=1\n[HTTP]\nX=1\n[cat]\nB=2\n",
       u"CAT", u"C", u"4", "[CAT]\nA=1\nC=4\n[HTTP]\nX=1\n[cat]\nB=2\n"},
      {"leaves a key before any section alone", "A=1\n[CAT]\n", u"CAT", u"A", u"2",
       "A=1\n[CAT]\nA=2\n"},
      {"writes wide text as UTF-8", "[CAT]\n", u"CAT", u"Name", u"결과", "[CAT]\nName=결과\n"},
      {"creates a missing file", std::nullopt, u"CAT", u"CatComPort", u"0",
       "[CAT]\nCatComPort=0\n"},
      {"leaves an equal value as it is", "[CAT]\r\nA = 1 ; not a comment\r\n", u"CAT", u"A",
       u"1 ; not a comment", "[CAT]\r\nA = 1 ; not a comment\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveFile(path_);
    if (c.before) ovt_test::WriteFile(path_, *c.before);
    ASSERT_TRUE(WriteProfileValue(path_, c.section, c.key, c.value));
    EXPECT_EQ(ovt_test::ReadFile(path_), c.after);
    EXPECT_EQ(Read(c.section, c.key), c.value);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"OVVARSEL.ini"});  // no temporary left
  }
}

TEST_F(Profile, RefusesWhatCannotStandInALine) {
  MakeFolder();
  const std::string before = "[CAT]\r\nA=1\r\n";
  ovt_test::WriteFile(path_, before);
  const std::u16string cases[][3] = {
      {u"CAT", u"A\nB", u"1"},  {u"CAT", u"A", u"1\r\n[X]"}, {u"", u"A", u"1"},
      {u"CAT", u"", u"1"},      {u"C]AT", u"A", u"1"},       {u"CAT", u"A=B", u"1"},
      {u"CAT", u";A", u"1"},    {u"CAT", u"[A", u"1"},       {u"C\rAT", u"A", u"1"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(WriteProfileValue(path_, c[0], c[1], c[2]))
        << Utf16ToUtf8(c[0]) << "/" << Utf16ToUtf8(c[1]) << "=" << Utf16ToUtf8(c[2]);
  }
  EXPECT_EQ(ovt_test::ReadFile(path_), before);
}

TEST_F(Profile, KeepsTheFilesModeAndLinks) {
  MakeFolder();
  ovt_test::WriteFile(path_, "[CAT]\nA=1\n");
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  ASSERT_TRUE(WriteProfileValue(path_, u"CAT", u"A", u"2"));
  struct stat st{};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A configuration that is a link to a file elsewhere stays a link.
  const std::string elsewhere = root_.path() + "/elsewhere.ini";
  ovt_test::WriteFile(elsewhere, "[CAT]\nA=1\n");
  RemoveFile(path_);
  std::filesystem::create_symlink(elsewhere, path_);
  ASSERT_TRUE(WriteProfileValue(path_, u"CAT", u"A", u"3"));
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(ovt_test::ReadFile(elsewhere), "[CAT]\nA=3\n");
}

TEST_F(Profile, WritesFromSeveralThreadsAreAllKept) {
  MakeFolder();
  constexpr int kThreads = 4, kWrites = 25;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        const std::u16string key = Utf8ToUtf16("K" + std::to_string(t) + "_" + std::to_string(i));
        ASSERT_TRUE(WriteProfileValue(path_, t % 2 ? u"CAT" : u"HTTP", key, key));
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; ++i) {
      const std::u16string key = Utf8ToUtf16("K" + std::to_string(t) + "_" + std::to_string(i));
      EXPECT_EQ(Read(t % 2 ? u"CAT" : u"HTTP", key), key);
    }
  }
}

}  // namespace
}  // namespace platform
