#include "ui/qt/dialog_layout.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace agent::ui {
namespace {

using resources::Control;
using resources::ControlKind;

// Pixels per dialog unit of a font, as Windows measures its dialog font.
struct DialogUnits {
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    base_x = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    base_y = metrics.height();
  }
  int X(int units) const { return units * base_x / 4; }
  int Y(int units) const { return units * base_y / 8; }
  int base_x;
  int base_y;
};

QWidget* Make(QWidget& parent, const Control& c) {
  const QString text = QString::fromUtf8(c.text.data(), static_cast<qsizetype>(c.text.size()));
  switch (c.kind) {
    case ControlKind::kGroupBox:
      return new QGroupBox(text, &parent);
    case ControlKind::kLabel:
      return new QLabel(text, &parent);
    case ControlKind::kRadioFirst:
    case ControlKind::kRadio:
      return new QRadioButton(text, &parent);
    case ControlKind::kEdit:
      return new QLineEdit(&parent);
    case ControlKind::kEditReadOnlyDisabled: {
      auto* edit = new QLineEdit(&parent);
      edit->setReadOnly(true);
      edit->setEnabled(false);
      return edit;
    }
    case ControlKind::kDropDownList:
      return new QComboBox(&parent);
    case ControlKind::kDefaultButton:
    case ControlKind::kButton: {
      auto* button = new QPushButton(text, &parent);
      button->setDefault(c.kind == ControlKind::kDefaultButton);
      button->setAutoDefault(c.kind == ControlKind::kDefaultButton);
      return button;
    }
  }
  return nullptr;
}

}  // namespace

QFont DialogFont(const resources::DialogTemplate& dialog) {
  QFont font = QApplication::font();
  font.setPointSize(dialog.point_size);
  return font;
}

std::map<int, QWidget*> BuildDialog(QWidget& parent, const resources::DialogTemplate& dialog,
                                    std::span<const resources::Control> controls) {
  const QFont font = DialogFont(dialog);
  parent.setFont(font);
  const DialogUnits units(font);
  parent.setFixedSize(units.X(dialog.width), units.Y(dialog.height));
  std::map<int, QWidget*> widgets;
  QButtonGroup* group = nullptr;
  for (const Control& c : controls) {
    QWidget* widget = Make(parent, c);
    if (c.kind == ControlKind::kRadioFirst) group = new QButtonGroup(&parent);
    if (group != nullptr && (c.kind == ControlKind::kRadioFirst || c.kind == ControlKind::kRadio)) {
      group->addButton(static_cast<QRadioButton*>(widget), c.id);
    }
    // A box is as tall as the style draws it and never narrower than its
    // text; otherwise the template's place and size.
    const QSize hint = widget->sizeHint();
    int width = c.width > 0 ? units.X(c.width) : hint.width();
    int height = c.height > 0 ? units.Y(c.height) : hint.height();
    if (c.kind == ControlKind::kDropDownList) height = hint.height();
    if (c.kind == ControlKind::kRadioFirst || c.kind == ControlKind::kRadio ||
        c.kind == ControlKind::kLabel) {
      width = std::max(width, hint.width());
      height = std::max(height, hint.height());
    }
    int y = units.Y(c.y);
    // A taller widget than the template's stays centred on its row.
    if (c.height > 0 && height > units.Y(c.height)) y -= (height - units.Y(c.height)) / 2;
    widget->setGeometry(units.X(c.x), y, width, height);
    if (c.id != -1) widgets[c.id] = widget;
  }
  return widgets;
}

}  // namespace agent::ui
