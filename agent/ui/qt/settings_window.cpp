#include "ui/qt/settings_window.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QRadioButton>

#include "resources/resources.h"
#include "ui/qt/dialog_layout.h"

namespace agent::ui {

namespace res = agent::resources;

namespace {

QString FromWide(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string ToWide(const QString& text) { return text.toStdU16String(); }

}  // namespace

SettingsWindow::SettingsWindow(SettingsController& controller) : controller_(controller) {
  // A pop-up with a caption, a system menu (its close box cancels) and a
  // modal frame.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(res::kSettingsDialog.title.data(),
                                   static_cast<qsizetype>(res::kSettingsDialog.title.size())));
  std::map<int, QWidget*> controls =
      BuildDialog(*this, res::kSettingsDialog, res::kSettingsControls);
  com_ = static_cast<QComboBox*>(controls.at(res::kIdComPortList));
  baud_ = static_cast<QComboBox*>(controls.at(res::kIdBaudList));
  ws_port_ = static_cast<QLineEdit*>(controls.at(res::kIdWsPort));
  ajax_port_ = static_cast<QLineEdit*>(controls.at(res::kIdAjaxPort));
  version_ = static_cast<QLineEdit*>(controls.at(res::kIdSettingsVersion));
  modes_ = static_cast<QAbstractButton*>(controls.at(res::kIdModeWebSocket))->group();
  ws_port_->setMaxLength(res::kPortTextLimit);
  ajax_port_->setMaxLength(res::kPortTextLimit);
  for (int rate : res::kBaudRates) baud_->addItem(QString::number(rate));

  connect(modes_, &QButtonGroup::idClicked, this,
          [this](int) { controller_.OnModeClicked(*this); });
  connect(static_cast<QPushButton*>(controls.at(res::kIdOk)), &QPushButton::clicked, this,
          [this] { controller_.OnOK(*this); });
  connect(static_cast<QPushButton*>(controls.at(res::kIdCancel)), &QPushButton::clicked, this,
          [this] { controller_.OnCancel(*this); });
}

void SettingsWindow::reject() { controller_.OnCancel(*this); }

void SettingsWindow::SetComPorts(const std::vector<std::u16string>& names) {
  com_->clear();
  for (const std::u16string& name : names) com_->addItem(FromWide(name));
}

std::u16string SettingsWindow::ComPortText(int index) const {
  return ToWide(com_->itemText(index));
}

std::u16string SettingsWindow::WsPortText() const { return ToWide(ws_port_->text()); }

std::u16string SettingsWindow::AjaxPortText() const { return ToWide(ajax_port_->text()); }

void SettingsWindow::SetPortTexts(const std::u16string& ws, const std::u16string& ajax) {
  ws_port_->setText(FromWide(ws));
  ajax_port_->setText(FromWide(ajax));
}

int SettingsWindow::WebMode() const {
  const int id = modes_->checkedId();
  if (id == res::kIdModeWebSocket) return 0;
  if (id == res::kIdModeAjax) return 1;
  return -1;
}

void SettingsWindow::SetWebMode(int mode) {
  QAbstractButton* button = modes_->button(mode == 1 ? res::kIdModeAjax : res::kIdModeWebSocket);
  if (mode == 0 || mode == 1) button->setChecked(true);
}

void SettingsWindow::EnablePortFields(bool ws, bool ajax) {
  ws_port_->setEnabled(ws);
  ajax_port_->setEnabled(ajax);
}

void SettingsWindow::SetVersionText(const std::u16string& text) {
  version_->setText(FromWide(text));
}

}  // namespace agent::ui
