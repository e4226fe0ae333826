// A flat tool button: no frame until the mouse is over it, glyph above a
// small caption (the buttons of the top bar).
#pragma once

#include <QToolButton>

namespace ui {

class FlatButton : public QToolButton {
    Q_OBJECT
public:
    explicit FlatButton(QWidget* parent = nullptr);
};

} // namespace ui
