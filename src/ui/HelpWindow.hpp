// The program's help window: shows an HTML help page.
#pragma once

#include <QDialog>

class QTextBrowser;

namespace ui {

class HelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Loads the page; a page that cannot be read is reported in the window
    // itself. Returns whether the page was read.
    bool ShowPage(const QString& path);
    QString Text() const;

private:
    QTextBrowser* m_browser;
};

} // namespace ui
