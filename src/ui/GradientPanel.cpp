#include "ui/GradientPanel.hpp"

#include <QLinearGradient>
#include <QPainter>

namespace ui {

GradientPanel::GradientPanel(QWidget* parent)
    : QFrame(parent)
{ }

void GradientPanel::SetStartColor(const QColor& c)
{
    m_start = c;
    update();
}

void GradientPanel::SetEndColor(const QColor& c)
{
    m_end = c;
    update();
}

void GradientPanel::paintEvent(QPaintEvent* event)
{
    {
        QPainter p(this);
        QLinearGradient g(0, 0, 0, height());
        g.setColorAt(0, m_start);
        g.setColorAt(1, m_end);
        p.fillRect(rect(), g);
    }
    QFrame::paintEvent(event);
}

} // namespace ui
