// The program's hint window: a flat box with a light background and a small
// navy arrow, shown instead of the style's tool tip for every widget that has
// a hint (its toolTip). Install() once per application.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace ui {

class HintWindow : public QWidget {
    Q_OBJECT
public:
    explicit HintWindow(QWidget* parent = nullptr);

    // Shows text with the arrow's tip at globalPos.
    void ShowHint(const QString& text, const QPoint& globalPos);
    QString Text() const { return m_text; }

    // Routes every tool-tip request of the application to one hint window.
    static void Install();
    // The application's hint window (null before Install()).
    static HintWindow* Instance();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString m_text;
    QTimer m_hide;
    QPointer<QWidget> m_owner;
};

} // namespace ui
