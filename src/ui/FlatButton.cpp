#include "ui/FlatButton.hpp"

namespace ui {

FlatButton::FlatButton(QWidget* parent)
    : QToolButton(parent)
{
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setFocusPolicy(Qt::NoFocus);
    QFont f(QStringLiteral("Arial"));
    f.setPointSize(7);
    setFont(f);
}

} // namespace ui
