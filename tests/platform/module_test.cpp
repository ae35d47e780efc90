// Libraries loaded by file name: the test library libOvtProbe.so, built in
// two copies (tests/platform/CMakeLists.txt), and files that are missing
// or are no library at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/module.h"
#include "support/temp_root.h"

namespace platform {
namespace {

// Leaves the lookup directory as it found it.
class ModuleDirectory {
 public:
  explicit ModuleDirectory(const std::string& directory) {
    testing::SetModuleDirectory(directory);
  }
  ~ModuleDirectory() { testing::SetModuleDirectory(""); }
};

using CopyFn = const char* (*)();
using AddFn = int (*)(int, int);

TEST(ModuleFileName, WindowsNamesBecomeSharedObjectNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"Telquin.dll", "libTelquin.so"},
      {"OrvaPrintV105.dll", "libOrvaPrintV105.so"},
      {"TELQUIN.DLL", "libTELQUIN.so"},
      {"Mixed.Dll", "libMixed.so"},
      {"NoExtension", "libNoExtension.so"},
      {"two.dots.dll", "libtwo.dots.so"},
      {".dll", "lib.so"},
  };
  for (const auto& [windows, posix] : cases) EXPECT_EQ(ModuleFileName(windows), posix) << windows;
}

TEST(OwnDirectory, IsTheFolderOfTheRunningProgram) {
  EXPECT_EQ(std::filesystem::path(OwnDirectory()),
            std::filesystem::canonical("/proc/self/exe").parent_path());
}

TEST(Module, TheOwnDirectoryComesBeforeTheSystemSearch) {
  {
    ModuleDirectory directory(OVT_TEST_MODULE_DIR);
    SystemError error;
    auto module = Module::Load("OvtProbe.dll", &error);
    ASSERT_TRUE(module) << error.text;
    auto copy = reinterpret_cast<CopyFn>(module->Find("OvtProbeCopy"));
    auto add = reinterpret_cast<AddFn>(module->Find("OvtProbeAdd"));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(add, nullptr);
    EXPECT_STREQ(copy(), "own");
    EXPECT_EQ(add(40, 2), 42);
    EXPECT_EQ(module->Find("OvtProbeMissing"), nullptr);
    EXPECT_EQ(module->Find(nullptr), nullptr);
  }
  {
    // Not in the (empty) own directory: the loader's search finds the
    // other copy through the test program's run path.
    ovt_test::TempRoot empty;
    ModuleDirectory directory(empty.path());
    SystemError error;
    auto module = Module::Load("OvtProbe.dll", &error);
    ASSERT_TRUE(module) << error.text;
    auto copy = reinterpret_cast<CopyFn>(module->Find("OvtProbeCopy"));
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy(), "system");
  }
}

TEST(Module, TwoLoadsShareOneCopy) {
  ModuleDirectory directory(OVT_TEST_MODULE_DIR);
  auto first = Module::Load("OvtProbe.dll", nullptr);
  auto second = Module::Load("OvtProbe.dll", nullptr);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_EQ(first->Find("OvtProbeAdd"), second->Find("OvtProbeAdd"));
  first.reset();  // the second still holds the library
  auto add = reinterpret_cast<AddFn>(second->Find("OvtProbeAdd"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(1, 2), 3);
}

TEST(Module, FailuresCarryTheLoadersError) {
  ovt_test::TempRoot folder;
  ModuleDirectory directory(folder.path());
  ovt_test::WriteFile(folder.path() + "/libOvtBroken.so", "not a library");
  ovt_test::WriteFile(folder.path() + "/libOvtProbe.so", "not a library either");
  struct Case {
    const char* name;
    const char* text_holds;  // the file name the loader names
    long code;
  };
  const Case cases[] = {
      {"OvtNoSuchModule.dll", "libOvtNoSuchModule.so", ENOENT},
      // A file in the own directory that the loader refused: its error.
      {"OvtBroken.dll", "libOvtBroken.so", ENOEXEC},
      // The first file found is the one: no copy elsewhere stands in for it.
      {"OvtProbe.dll", "libOvtProbe.so", ENOEXEC},
  };
  for (const Case& c : cases) {
    SystemError error;
    EXPECT_EQ(Module::Load(c.name, &error), nullptr) << c.name;
    EXPECT_NE(error.text.find(c.text_holds), std::string::npos) << error.text;
    EXPECT_EQ(error.code, c.code) << error.text;
  }
  EXPECT_EQ(Module::Load("OvtNoSuchModule.dll", nullptr), nullptr);
}

}  // namespace
}  // namespace platform
