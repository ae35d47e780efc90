// The agent's resources that every face shares: numbers, menu 129, the
// baud-rate list and the layouts of dialogs 102 and 103. The Windows
// program carries the same in its resource script (OVTelquin.rc); the
// other faces build their windows from these tables. Texts are UTF-8.
#pragma once

#include <string_view>

namespace agent::resources {

// Icons: the window icon and the tray icon.
inline constexpr int kIconApp = 128;
inline constexpr int kIconTray = 130;

// Menu 129 and its commands; the tray icon's identifier is the menu's
// number.
inline constexpr int kMenuTray = 129;
inline constexpr int kCommandSettings = 32775;
inline constexpr int kCommandExit = 32773;

// Push buttons of both dialogs.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

struct MenuItem {
  int command;
  std::string_view text;
};

// Menu 129: one pop-up; the item at position 0 is the default (bold).
inline constexpr MenuItem kTrayMenu[] = {
    {kCommandSettings, "설정"},
    {kCommandExit, "종료"},
};
inline constexpr int kTrayMenuDefaultPosition = 0;

// The tray icon's tip.
inline constexpr std::string_view kTrayTip = "Orva Virtual Telquin";

// The entries of the baud-rate list 1006, index 0 to 4.
inline constexpr int kBaudRates[] = {9600, 19200, 38400, 57600, 115200};

// One control of a dialog template, in dialog units. A width or height of
// 0 means "as large as its text" (a label).
enum class ControlKind {
  kGroupBox,
  kLabel,
  kRadioFirst,  // automatic radio button that begins a group
  kRadio,       // automatic radio button
  kEdit,
  kEditReadOnlyDisabled,
  kDropDownList,
  kDefaultButton,
  kButton,
};

struct Control {
  int id;  // -1 for controls that are never addressed
  ControlKind kind;
  std::string_view text;
  int x, y, width, height;
};

struct DialogTemplate {
  std::string_view title;
  std::string_view font;
  int point_size;
  int width, height;  // dialog units
};

// Dialog template 102: the version window (the hidden main window).
inline constexpr int kIdVersionField = 1007;
inline constexpr DialogTemplate kMainDialog = {"Orva Virtual Telquin", "MS Shell Dlg", 9, 149,
                                               59};
inline constexpr Control kMainControls[] = {
    {-1, ControlKind::kLabel, "VERSION  :", 16, 15, 0, 0},
    {kIdVersionField, ControlKind::kEditReadOnlyDisabled, "", 57, 13, 85, 12},
    {kIdOk, ControlKind::kDefaultButton, "확인", 7, 38, 50, 14},
    {kIdCancel, ControlKind::kButton, "취소", 92, 38, 50, 14},
};

// Dialog template 103: the settings dialog ChkStar.
inline constexpr int kIdComPortList = 1005;
inline constexpr int kIdBaudList = 1006;
inline constexpr int kIdWsPort = 1007;
inline constexpr int kIdAjaxPort = 1008;
inline constexpr int kIdModeWebSocket = 1009;
inline constexpr int kIdModeAjax = 1010;
inline constexpr int kIdSettingsVersion = 1011;
// The port fields take at most this many characters.
inline constexpr int kPortTextLimit = 5;

inline constexpr DialogTemplate kSettingsDialog = {"OVTelquin", "MS Shell Dlg", 10, 211, 143};
inline constexpr Control kSettingsControls[] = {
    {-1, ControlKind::kGroupBox, "웹 통신 설정", 22, 10, 168, 47},
    {1004, ControlKind::kLabel, "통신 모드", 32, 25, 0, 0},
    {kIdModeWebSocket, ControlKind::kRadioFirst, "WEBSOCKET", 71, 24, 54, 10},
    {kIdModeAjax, ControlKind::kRadio, "AJAX", 135, 24, 40, 10},
    {1003, ControlKind::kLabel, "서버 포트", 32, 40, 0, 0},
    {kIdWsPort, ControlKind::kEdit, "", 71, 38, 44, 12},
    {kIdAjaxPort, ControlKind::kEdit, "", 135, 38, 44, 12},
    {-1, ControlKind::kGroupBox, "단말기 통신 설정", 21, 64, 169, 51},
    {1001, ControlKind::kLabel, "통신 포트", 32, 79, 0, 0},
    {kIdComPortList, ControlKind::kDropDownList, "", 71, 78, 108, 74},
    {1002, ControlKind::kLabel, "통신 속도", 32, 96, 0, 0},
    {kIdBaudList, ControlKind::kDropDownList, "", 71, 95, 108, 111},
    {kIdOk, ControlKind::kDefaultButton, "확인", 101, 123, 41, 13},
    {kIdCancel, ControlKind::kButton, "취소", 149, 123, 41, 13},
    {kIdSettingsVersion, ControlKind::kEditReadOnlyDisabled, "", 21, 124, 73, 12},
};

}  // namespace agent::resources
