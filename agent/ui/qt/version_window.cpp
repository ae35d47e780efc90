#include "ui/qt/version_window.h"

#include <QCloseEvent>
#include <QPushButton>

#include "resources/resources.h"
#include "ui/qt/dialog_layout.h"

namespace agent::ui {

namespace res = agent::resources;

VersionWindow::VersionWindow(std::function<void(int)> command) : command_(std::move(command)) {
  // A window of its own (so the task bar lists it while it is visible),
  // with a caption and no system menu.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowTitle(QString::fromUtf8(res::kMainDialog.title.data(),
                                   static_cast<qsizetype>(res::kMainDialog.title.size())));
  std::map<int, QWidget*> controls = BuildDialog(*this, res::kMainDialog, res::kMainControls);
  version_ = static_cast<QLineEdit*>(controls.at(res::kIdVersionField));
  connect(static_cast<QPushButton*>(controls.at(res::kIdOk)), &QPushButton::clicked, this,
          [this] { command_(res::kIdOk); });
  connect(static_cast<QPushButton*>(controls.at(res::kIdCancel)), &QPushButton::clicked, this,
          [this] { command_(res::kIdCancel); });
}

void VersionWindow::reject() { command_(res::kIdCancel); }

void VersionWindow::closeEvent(QCloseEvent* event) { event->ignore(); }

}  // namespace agent::ui
