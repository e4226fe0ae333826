#include "ui/HintWindow.hpp"

#include <QApplication>
#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace ui {

namespace {
constexpr int kArrow = 8; // arrow strip at the left edge
constexpr int kPad = 4;
HintWindow* g_instance = nullptr;
} // namespace

HintWindow::HintWindow(QWidget* parent)
    : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setObjectName(QStringLiteral("HintWindow"));
    m_hide.setSingleShot(true);
    m_hide.setInterval(5000);
    connect(&m_hide, &QTimer::timeout, this, &QWidget::hide);
}

void HintWindow::ShowHint(const QString& text, const QPoint& globalPos)
{
    m_text = text;
    const QFontMetrics fm(font());
    const QSize size(fm.horizontalAdvance(text) + kArrow + 3 * kPad, fm.height() + 2 * kPad);
    QPoint pos = globalPos + QPoint(2, 16);
    if (const QScreen* screen = QGuiApplication::screenAt(globalPos)) {
        const QRect area = screen->availableGeometry();
        pos.setX(std::min(pos.x(), area.right() - size.width()));
        if (pos.y() + size.height() > area.bottom())
            pos.setY(globalPos.y() - size.height() - 4);
    }
    setGeometry(QRect(pos, size));
    show();
    raise();
    update();
    m_hide.start();
}

void HintWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(239, 233, 224));
    p.setPen(QColor(128, 128, 128));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    // The arrow points at the control the hint belongs to.
    const int mid = height() / 2;
    QPainterPath arrow;
    arrow.moveTo(kPad, mid - 4);
    arrow.lineTo(kPad + kArrow - 2, mid);
    arrow.lineTo(kPad, mid + 4);
    arrow.closeSubpath();
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(arrow, QColor(0, 0, 128));
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::black);
    p.drawText(rect().adjusted(kArrow + 2 * kPad, 0, -kPad, 0), Qt::AlignVCenter | Qt::AlignLeft, m_text);
}

bool HintWindow::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ToolTip: {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || widget == this)
            break;
        const QString text = widget->toolTip();
        if (text.isEmpty())
            break; // let the widget decide (item views carry their own tips)
        m_owner = widget;
        ShowHint(text, static_cast<QHelpEvent*>(event)->globalPos());
        return true;
    }
    case QEvent::Leave:
    case QEvent::MouseButtonPress:
    case QEvent::KeyPress:
    case QEvent::WindowDeactivate:
        if (isVisible() && watched == m_owner)
            hide();
        break;
    default:
        break;
    }
    return false;
}

void HintWindow::Install()
{
    if (g_instance)
        return;
    g_instance = new HintWindow;
    qApp->installEventFilter(g_instance);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] {
        delete g_instance;
        g_instance = nullptr;
    });
}

HintWindow* HintWindow::Instance()
{
    return g_instance;
}

} // namespace ui
