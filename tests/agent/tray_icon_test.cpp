// The tray icon's logic (CTrayIcon) against a face that records what it is
// asked to do: what each event of the icon's callback leads to, and the
// icon's life from added to removed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/tray_icon.h"

namespace agent {
namespace {

using ui::TrayEvent;

class RecordingFace final : public ui::Face {
 public:
  bool tray_available = true;
  std::vector<std::string> calls;

  int Run(ui::FaceEvents&, std::function<void()>) override { return 0; }
  void Post(std::function<void()>) override {}
  void Quit(int) override {}
  void SetWindowIcon(int) override {}
  void HideMainWindow() override {}
  void ShowMainWindow() override { calls.push_back("show window"); }
  void SetVersionText(const std::u16string&) override {}
  bool AddTrayIcon(std::uint32_t id, std::u16string_view) override {
    calls.push_back("add " + std::to_string(id));
    return tray_available;
  }
  bool SetTrayIcon(int icon) override {
    calls.push_back("icon " + std::to_string(icon));
    return true;
  }
  void RemoveTrayIcon() override { calls.push_back("remove"); }
  void PopUpTrayMenu() override { calls.push_back("menu"); }
  void BringToFront() override { calls.push_back("front"); }
  void RunSettingsDialog(ui::SettingsController&) override {}
};

TEST(TrayIcon, EachEventOfItsOwnCallbackLeadsToItsAction) {
  const struct {
    const char* name;
    std::uint32_t id;
    TrayEvent event;
    int handled;
    std::vector<std::string> calls;
  } cases[] = {
      {"right button released", 129, TrayEvent::kRightButtonUp, 1, {"front", "menu"}},
      {"double-click", 129, TrayEvent::kLeftButtonDoubleClick, 1, {"front"}},
      {"a click, a press or a release", 129, TrayEvent::kOther, 1, {}},
      {"another icon's right button", 130, TrayEvent::kRightButtonUp, 0, {}},
      {"another icon's double-click", 7, TrayEvent::kLeftButtonDoubleClick, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingFace face;
    CTrayIcon icon(face);
    ASSERT_TRUE(icon.AddToTray(u"Orva Virtual Telquin", 129));
    face.calls.clear();
    EXPECT_EQ(icon.OnTrayNotify(c.id, c.event), c.handled);
    EXPECT_EQ(face.calls, c.calls);
  }
}

TEST(TrayIcon, IsRemovedOnceAndNeverChangedWithoutBeingAdded) {
  RecordingFace face;
  {
    CTrayIcon icon(face);
    EXPECT_TRUE(icon.AddToTray(u"tip", 129));
    EXPECT_TRUE(icon.ChangeTrayIcon(130));
    icon.RemoveFromTray();
  }  // the destructor finds it removed already
  EXPECT_EQ(face.calls, (std::vector<std::string>{"add 129", "icon 130", "remove"}));

  // Without a notification area: no picture is set, nothing is removed.
  face.calls.clear();
  face.tray_available = false;
  {
    CTrayIcon icon(face);
    EXPECT_FALSE(icon.AddToTray(u"tip", 129));
    EXPECT_FALSE(icon.ChangeTrayIcon(130));
  }
  EXPECT_EQ(face.calls, std::vector<std::string>{"add 129"});
}

}  // namespace
}  // namespace agent
