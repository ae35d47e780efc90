// The main window of the Qt face: the version window of template 102. It
// is hidden for most of the run; a double-click on the tray icon shows it,
// and its buttons, Enter and Escape report commands 1 and 2, on which the
// shell hides it again. The user cannot close it.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <functional>

namespace agent::ui {

class VersionWindow final : public QDialog {
 public:
  // `command` receives 1 (확인, Enter) or 2 (취소, Escape).
  explicit VersionWindow(std::function<void(int)> command);
  void SetVersionText(const QString& text) { version_->setText(text); }

 protected:
  void reject() override;  // Escape
  void closeEvent(QCloseEvent* event) override;

 private:
  std::function<void(int)> command_;
  QLineEdit* version_ = nullptr;
};

}  // namespace agent::ui
