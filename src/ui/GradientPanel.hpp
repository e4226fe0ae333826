// A panel filled with a vertical two-colour gradient (the top bar).
#pragma once

#include <QColor>
#include <QFrame>

namespace ui {

class GradientPanel : public QFrame {
    Q_OBJECT
    Q_PROPERTY(QColor startColor READ StartColor WRITE SetStartColor)
    Q_PROPERTY(QColor endColor READ EndColor WRITE SetEndColor)
public:
    explicit GradientPanel(QWidget* parent = nullptr);

    QColor StartColor() const { return m_start; }
    void SetStartColor(const QColor& c);
    QColor EndColor() const { return m_end; }
    void SetEndColor(const QColor& c);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_start { 192, 192, 192 }; // silver at the top
    QColor m_end { 255, 255, 255 }; // white at the bottom
};

} // namespace ui
