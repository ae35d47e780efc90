#include "ui/qt/qt_face.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdio>

#include "resources/resources.h"
#include "ui/qt/settings_window.h"
#include "ui/qt/version_window.h"

namespace agent::ui {
namespace {

namespace res = agent::resources;

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The icon of a resource number, with its images of every size.
QIcon ResourceIcon(int number) {
  const QString stem = number == res::kIconTray ? ":/icons/tray-" : ":/icons/app-";
  QIcon icon;
  for (const char* size : {"32", "48", "71"}) icon.addFile(stem + size + ".png");
  if (number == res::kIconApp) icon.addFile(stem + "256.png");
  return icon;
}

// A picture that shows nothing: the icon before it has its own.
QIcon BlankIcon() {
  QPixmap blank(32, 32);
  blank.fill(Qt::transparent);
  return QIcon(blank);
}

class QtFace;
std::atomic<QtFace*> g_face{nullptr};

class QtFace final : public Face {
 public:
  QtFace(int& argc, char** argv, const QtFaceHost& host) : app_(argc, argv), host_(host) {
    // The agent lives on in its tray icon when its windows close.
    QApplication::setQuitOnLastWindowClosed(false);
    title_ = QString::fromStdString(host_.application_name());
    g_face = this;
    host_.set_message_box_presenter(&QtFace::Present);
  }

  ~QtFace() override {
    host_.set_message_box_presenter(nullptr);
    g_face = nullptr;
  }

  int Run(FaceEvents& events, std::function<void()> start) override {
    events_ = &events;
    main_window_ =
        std::make_unique<VersionWindow>([this](int command) { events_->OnCommand(command); });
    // The session ending takes the same way as every stop request.
    QObject::connect(&app_, &QGuiApplication::commitDataRequest, &app_,
                     [this](QSessionManager&) { events_->OnEndSession(); });
    QTimer::singleShot(0, &app_, std::move(start));
    loop_running_ = true;
    const int code = QApplication::exec();
    loop_running_ = false;
    return code;
  }

  void Post(std::function<void()> task) override {
    QMetaObject::invokeMethod(&app_, std::move(task), Qt::QueuedConnection);
  }

  void Quit(int code) override { QApplication::exit(code); }

  void SetWindowIcon(int icon) override { main_window_->setWindowIcon(ResourceIcon(icon)); }
  void HideMainWindow() override { main_window_->hide(); }
  void ShowMainWindow() override {
    main_window_->show();
    BringToFront();
  }
  void SetVersionText(const std::u16string& text) override {
    main_window_->SetVersionText(QString::fromStdU16String(text));
  }

  bool AddTrayIcon(std::uint32_t id, std::u16string_view tip) override {
    // The same test the icon makes when it is shown: a host for it.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    tray_ = std::make_unique<QSystemTrayIcon>(BlankIcon());
    tray_->setToolTip(QString::fromUtf16(tip.data(), static_cast<qsizetype>(tip.size())));
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                     [this, id](QSystemTrayIcon::ActivationReason reason) {
                       events_->OnTrayNotify(id, EventOf(reason));
                     });
    tray_->show();
    return true;
  }

  bool SetTrayIcon(int icon) override {
    if (tray_ == nullptr) return false;
    tray_->setIcon(ResourceIcon(icon));
    return true;
  }

  // Never while the icon's own click is being handled further up the
  // stack (its menu or a dialog opened from it): hiding destroys the widget
  // that handles the click.
  void RemoveTrayIcon() override {
    if (tray_ != nullptr) tray_->hide();
    tray_.reset();
  }

  void PopUpTrayMenu() override {
    QMenu menu;
    int position = 0;
    for (const res::MenuItem& item : res::kTrayMenu) {
      QAction* action = menu.addAction(FromUtf8(item.text));
      action->setData(item.command);
      if (position++ == res::kTrayMenuDefaultPosition) {
        menu.setDefaultAction(action);
        // Not every style draws the default item bold by itself.
        QFont bold = action->font();
        bold.setBold(true);
        action->setFont(bold);
      }
    }
    const QAction* chosen = menu.exec(QCursor::pos());
    if (chosen != nullptr) events_->OnCommand(chosen->data().toInt());
  }

  void BringToFront() override {
    if (!main_window_->isVisible()) return;
    main_window_->raise();
    main_window_->activateWindow();
  }

  void RunSettingsDialog(SettingsController& controller) override {
    SettingsWindow dialog(controller);
    dialog.setWindowIcon(main_window_->windowIcon());
    controller.OnInitDialog(dialog);
    dialog.exec();
  }

 private:
  static TrayEvent EventOf(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
      case QSystemTrayIcon::Context:
        return TrayEvent::kRightButtonUp;
      case QSystemTrayIcon::DoubleClick:
        return TrayEvent::kLeftButtonDoubleClick;
      default:
        return TrayEvent::kOther;
    }
  }

  // The agent's one kind of box: the application name as title, one OK
  // button, no icon, above every other window and in front.
  static void ShowBox(const QString& title, std::u16string_view text) {
    QMessageBox box(QMessageBox::NoIcon, title,
                    QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok);
    // No picture anywhere, not on the button either, which says 확인 as
    // a Korean system's own boxes do.
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8("확인"));
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.setWindowModality(Qt::ApplicationModal);
    QTimer::singleShot(0, &box, [&box] {
      box.raise();
      box.activateWindow();
    });
    box.exec();
  }

  // The presenter of platform::ShowMessageBox: the box is shown by the
  // user-interface thread; a worker waits until it has been closed. Before
  // the loop runs, or after it ended, the text goes to standard error.
  static void Present(std::u16string_view text) {
    QtFace* face = g_face;
    if (face == nullptr) return;
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
      ShowBox(face->title_, text);
      return;
    }
    if (!face->loop_running_) {
      const QByteArray line =
          face->title_.toUtf8() + ": " +
          QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())).toUtf8() + "\n";
      std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
      return;
    }
    QMetaObject::invokeMethod(
        &face->app_, [face, text] { ShowBox(face->title_, text); }, Qt::BlockingQueuedConnection);
  }

  QApplication app_;
  const QtFaceHost& host_;
  QString title_;
  FaceEvents* events_ = nullptr;
  std::unique_ptr<VersionWindow> main_window_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::atomic<bool> loop_running_{false};
};

}  // namespace

std::unique_ptr<Face> CreateQtFace(int& argc, char** argv, const QtFaceHost& host) {
  return std::make_unique<QtFace>(argc, argv, host);
}

}  // namespace agent::ui

extern "C" __attribute__((visibility("default"))) agent::ui::Face* OVT_CreateQtFace(
    int* argc, char** argv, const agent::ui::QtFaceHost* host) {
  return agent::ui::CreateQtFace(*argc, argv, *host).release();
}
