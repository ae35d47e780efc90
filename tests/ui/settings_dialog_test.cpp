// The settings dialog of the Qt face with its logic (ChkStar), in this
// process on Qt's offscreen platform: the controls as template 103 has
// them, the enabling rules, the port and rate selection, and the OK flow
// against the terminal simulator. Boxes have no face to show them here:
// they are lines on standard error, captured and read back.
#include "shell/settings_dialog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/probe_runner.h"
#include "common/agent_texts.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/serial_ports.h"
#include "resources/resources.h"
#include "shell/version.h"
#include "support/simulator.h"
#include "support/temp_root.h"
#include "ui/qt/settings_window.h"

namespace agent {
namespace {

namespace fs = std::filesystem;
namespace res = agent::resources;
using ovt_test::Simulator;

constexpr const char* kRestartedMarker = "restarted-command-line.txt";

std::string Ini(const std::string& cat, const std::string& http) {
  return "[CAT]\r\n" + cat + "[HTTP]\r\n" + http;
}

class SettingsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_dir_ = fs::current_path();
    fs::current_path(root_.path());
    fs::create_directories(root_.path() + "/OVVarsel");
    fs::create_directories(root_.path() + "/dosdevices");
    platform::testing::SetModuleDirectory(OVT_MODULE_DIR);
    // No serial device of this machine is listed: only the test's links.
    fs::create_directories(root_.path() + "/no-devices");
    platform::testing::SetSerialDeviceDirectory(root_.path() + "/no-devices");
  }
  void TearDown() override {
    platform::testing::SetSerialDeviceDirectory("");
    platform::testing::SetModuleDirectory("");
    fs::current_path(previous_dir_);
  }

  std::string IniPath() const { return root_.path() + "/OVVarsel/OVVARSEL.ini"; }
  void WriteIni(const std::string& text) { ovt_test::WriteFile(IniPath(), text); }
  std::string ReadIni() const { return ovt_test::ReadFile(IniPath()); }
  // COMn listed by the system: a link that need not lead anywhere.
  void ListPort(int n) {
    fs::create_symlink("/nonexistent/com" + std::to_string(n),
                       root_.path() + "/dosdevices/com" + std::to_string(n));
  }

  // The dialog opened as the tray menu opens it.
  std::unique_ptr<ui::SettingsWindow> Open() {
    auto window = std::make_unique<ui::SettingsWindow>(logic_);
    logic_.OnInitDialog(*window);
    window->show();
    return window;
  }

  template <typename T>
  static T* Control(QWidget& window, int index) {
    return window.findChildren<T*>().at(index);
  }
  static QLineEdit* Edit(QWidget& window, int id) {
    // In template order: the WebSocket port, the AJAX port, the version.
    const int index = id == res::kIdWsPort ? 0 : id == res::kIdAjaxPort ? 1 : 2;
    return Control<QLineEdit>(window, index);
  }
  static QComboBox* ComList(QWidget& window) { return Control<QComboBox>(window, 0); }
  static QComboBox* BaudList(QWidget& window) { return Control<QComboBox>(window, 1); }
  static QRadioButton* Radio(QWidget& window, int mode) {
    return Control<QRadioButton>(window, mode);
  }
  static QPushButton* Button(QWidget& window, const char* text) {
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
      if (button->text() == QString::fromUtf8(text)) return button;
    }
    return nullptr;
  }

  ovt_test::TempRoot root_;
  fs::path previous_dir_;
  ChkStar logic_{g_settingsVersion};
};

TEST_F(SettingsDialog, HoldsTheTemplatesControlsWithTheirTextsAndLimits) {
  WriteIni(Ini("CatComPort=5\r\nCatComBaud=115200\r\n", "ServerPortWebsocket=8090\r\n"));
  auto window = Open();
  EXPECT_EQ(window->windowTitle(), "OVTelquin");
  EXPECT_EQ(Radio(*window, 0)->text(), "WEBSOCKET");
  EXPECT_EQ(Radio(*window, 1)->text(), "AJAX");
  ASSERT_NE(Button(*window, "확인"), nullptr);
  ASSERT_NE(Button(*window, "취소"), nullptr);
  EXPECT_TRUE(Button(*window, "확인")->isDefault());
  QStringList rates;
  for (int i = 0; i < BaudList(*window)->count(); ++i) rates << BaudList(*window)->itemText(i);
  EXPECT_EQ(rates, QStringList({"9600", "19200", "38400", "57600", "115200"}));
  EXPECT_EQ(Edit(*window, res::kIdWsPort)->text(), "8090");
  EXPECT_EQ(Edit(*window, res::kIdAjaxPort)->text(), "9088");
  EXPECT_FALSE(Edit(*window, res::kIdSettingsVersion)->isEnabled());
  EXPECT_TRUE(Edit(*window, res::kIdSettingsVersion)->isReadOnly());
  // A sixth character is refused by the field.
  QLineEdit* ws = Edit(*window, res::kIdWsPort);
  ws->clear();
  QTest::keyClicks(ws, "123456");
  EXPECT_EQ(ws->text(), "12345");
}

TEST_F(SettingsDialog, ModeDecidesWhichPortFieldIsOpen) {
  const struct {
    const char* mode;
    bool websocket_checked;
    bool ws_enabled;
    bool ajax_enabled;
  } cases[] = {
      {"0", true, true, false},
      {"1", false, false, true},
      {"2", true, true, true},  // neither: WEBSOCKET shown, both fields open
      {"", true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("WebMode=") + c.mode);
    WriteIni(Ini("", std::string("WebMode=") + c.mode + "\r\n"));
    auto window = Open();
    EXPECT_EQ(Radio(*window, 0)->isChecked(), c.websocket_checked);
    EXPECT_EQ(Edit(*window, res::kIdWsPort)->isEnabled(), c.ws_enabled);
    EXPECT_EQ(Edit(*window, res::kIdAjaxPort)->isEnabled(), c.ajax_enabled);
    // Clicking a mode opens its own field only.
    QTest::mouseClick(Radio(*window, 1), Qt::LeftButton);
    EXPECT_FALSE(Edit(*window, res::kIdWsPort)->isEnabled());
    EXPECT_TRUE(Edit(*window, res::kIdAjaxPort)->isEnabled());
    QTest::mouseClick(Radio(*window, 0), Qt::LeftButton);
    EXPECT_TRUE(Edit(*window, res::kIdWsPort)->isEnabled());
    EXPECT_FALSE(Edit(*window, res::kIdAjaxPort)->isEnabled());
  }
}

TEST_F(SettingsDialog, StoredPortAndRateAreSelected) {
  for (int n : {1, 3, 10}) ListPort(n);
  const struct {
    const char* port;
    const char* baud;
    QString com;
    QString rate;
  } cases[] = {
      {"1", "9600", "COM1", "9600"},  // COM1, not COM10
      {"10", "57600", "COM10", "57600"},
      {"7", "4800", "COM1", "9600"},  // a port that is gone: the first
      {"", "", "COM1", "9600"},
      {"3", "115200", "COM3", "115200"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("COM ") + c.port + ", " + c.baud);
    WriteIni(Ini(std::string("CatComPort=") + c.port + "\r\nCatComBaud=" + c.baud + "\r\n", ""));
    auto window = Open();
    QStringList ports;
    for (int i = 0; i < ComList(*window)->count(); ++i) ports << ComList(*window)->itemText(i);
    EXPECT_EQ(ports, QStringList({"COM1", "COM3", "COM10"}));
    EXPECT_EQ(ComList(*window)->currentText(), c.com);
    EXPECT_EQ(BaudList(*window)->currentText(), c.rate);
  }
}

TEST_F(SettingsDialog, CancelAndFailedProbesSaveNothing) {
  ListPort(5);
  const std::string before = Ini("CatComPort=5\r\nCatComBaud=9600\r\n", "WebMode=0\r\n");
  WriteIni(before);
  // Cancel, Escape: nothing saved whatever was changed.
  for (const char* how : {"cancel", "escape"}) {
    SCOPED_TRACE(how);
    auto window = Open();
    Edit(*window, res::kIdWsPort)->setText("7000");
    BaudList(*window)->setCurrentIndex(4);
    if (std::string(how) == "cancel") {
      QTest::mouseClick(Button(*window, "취소"), Qt::LeftButton);
    } else {
      QTest::keyClick(window.get(), Qt::Key_Escape);
    }
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(ReadIni(), before);
  }
  // OK with no terminal on the port: the box, and nothing saved.
  auto window = Open();
  Edit(*window, res::kIdWsPort)->setText("7000");
  ::testing::internal::CaptureStderr();
  QTest::mouseClick(Button(*window, "확인"), Qt::LeftButton);
  const std::string boxes = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(boxes.find(std::string(texts::kPortNotFound)), std::string::npos) << boxes;
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(ReadIni(), before);
}

TEST_F(SettingsDialog, WithoutAnyComPortOkIsAFailedProbe) {
  const std::string before = Ini("CatComPort=5\r\nCatComBaud=9600\r\n", "");
  WriteIni(before);
  auto window = Open();
  EXPECT_EQ(ComList(*window)->count(), 0);
  ::testing::internal::CaptureStderr();
  QTest::mouseClick(Button(*window, "확인"), Qt::LeftButton);
  const std::string boxes = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(boxes.find(std::string(texts::kPortNotFound)), std::string::npos) << boxes;
  EXPECT_EQ(ReadIni(), before);
}

// A change of the rate alone, with the terminal answering, is saved in the
// settings' order and needs no restart: the dispatcher reads the rate at
// its next request.
TEST_F(SettingsDialog, RateChangeIsSavedWithoutARestart) {
  Simulator sim(root_, 5, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  WriteIni(Ini("CatComPort=5\r\nCatComBaud=9600\r\n", "WebMode=0\r\n"));
  auto window = Open();
  BaudList(*window)->setCurrentIndex(4);
  ::testing::internal::CaptureStderr();
  QTest::mouseClick(Button(*window, "확인"), Qt::LeftButton);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(ReadIni(), Ini("CatComPort=5\r\nCatComBaud=115200\r\n",
                           "WebMode=0\r\nServerPortWebsocket=8088\r\nServerPortAjax=9088\r\n"));
  EXPECT_FALSE(fs::exists(root_.path() + "/" + kRestartedMarker));
}

// A changed web setting restarts the agent: the announcement, a new
// process started with "--Restart", and the end of this one. The dialog's
// OK runs in a child process, since it ends the process that runs it.
TEST_F(SettingsDialog, PortChangeRestartsTheAgent) {
  Simulator sim(root_, 5, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  WriteIni(
      Ini("CatComPort=5\r\nCatComBaud=115200\r\n", "WebMode=0\r\nServerPortWebsocket=8088\r\n"));
  auto window = Open();
  Edit(*window, res::kIdWsPort)->setText("8090");
  const std::string boxes = root_.path() + "/boxes.txt";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::freopen(boxes.c_str(), "w", stderr);
    QTest::mouseClick(Button(*window, "확인"), Qt::LeftButton);
    _exit(99);  // not reached when the restart ends the process
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), platform::TerminationStatus());
  EXPECT_NE(ovt_test::ReadFile(boxes).find(std::string(texts::kPortsChanged)), std::string::npos);
  EXPECT_EQ(ReadIni(), Ini("CatComPort=5\r\nCatComBaud=115200\r\n",
                           "WebMode=0\r\nServerPortWebsocket=8090\r\nServerPortAjax=9088\r\n"));
  ASSERT_TRUE(ovt_test::WaitForFile(root_.path() + "/" + kRestartedMarker));
  EXPECT_NE(ovt_test::ReadFile(root_.path() + "/" + kRestartedMarker).find(" --Restart"),
            std::string::npos);
}

}  // namespace
}  // namespace agent

// A restart starts this program again with "--Restart": it notes its
// command line and ends, standing in for the new agent.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--Restart") {
      std::ofstream(agent::kRestartedMarker) << platform::OwnCommandLine();
      return 0;
    }
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
