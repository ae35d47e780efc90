// The settings dialog of the Qt face: template 103 built from its table,
// with ChkStar (or any controller) as its logic through ui::SettingsView.
#pragma once

#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>

#include "ui/face.h"

namespace agent::ui {

class SettingsWindow final : public QDialog, public SettingsView {
 public:
  // Builds the dialog with the baud-rate list filled from the resources;
  // the controller's OnInitDialog does the rest.
  explicit SettingsWindow(SettingsController& controller);

  // ui::SettingsView
  void SetComPorts(const std::vector<std::u16string>& names) override;
  int ComPortSelection() const override { return com_->currentIndex(); }
  std::u16string ComPortText(int index) const override;
  void SelectComPort(int index) override { com_->setCurrentIndex(index); }
  int BaudSelection() const override { return baud_->currentIndex(); }
  void SelectBaud(int index) override { baud_->setCurrentIndex(index); }
  std::u16string WsPortText() const override;
  std::u16string AjaxPortText() const override;
  void SetPortTexts(const std::u16string& ws, const std::u16string& ajax) override;
  int WebMode() const override;
  void SetWebMode(int mode) override;
  void EnablePortFields(bool ws, bool ajax) override;
  void SetVersionText(const std::u16string& text) override;
  void Close() override { done(QDialog::Accepted); }

 protected:
  void reject() override;  // Escape and the close box

 private:
  SettingsController& controller_;
  QComboBox* com_ = nullptr;
  QComboBox* baud_ = nullptr;
  QLineEdit* ws_port_ = nullptr;
  QLineEdit* ajax_port_ = nullptr;
  QLineEdit* version_ = nullptr;
  QButtonGroup* modes_ = nullptr;
};

}  // namespace agent::ui
