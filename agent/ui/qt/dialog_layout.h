// Widgets placed from a dialog template of agent/resources: the same
// controls, texts, places and sizes as the Windows dialog, converted from
// dialog units with the dialog's font as Windows does (a horizontal unit is
// a quarter of the font's average character width, a vertical one an
// eighth of its height).
#pragma once

#include <QFont>
#include <QWidget>
#include <map>
#include <span>

#include "resources/resources.h"

namespace agent::ui {

// The template's font: the desktop's own face at the template's size (the
// Windows dialog font does not exist here; fontconfig finds Hangul glyphs).
QFont DialogFont(const resources::DialogTemplate& dialog);

// Builds the controls on `parent` (fixed to the template's size) in table
// order, which is also their stacking and tab order. Returns the widgets by
// control id (ids of -1 are left out).
std::map<int, QWidget*> BuildDialog(QWidget& parent, const resources::DialogTemplate& dialog,
                                    std::span<const resources::Control> controls);

}  // namespace agent::ui
