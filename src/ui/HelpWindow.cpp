#include "ui/HelpWindow.hpp"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace ui {

HelpWindow::HelpWindow(QWidget* parent)
    : QDialog(parent)
    , m_browser(new QTextBrowser(this))
{
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("Tallowin Help"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_browser->setObjectName(QStringLiteral("helpBrowser"));
    m_browser->setOpenExternalLinks(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_browser);
    layout->addWidget(buttons);
    resize(620, 480);
}

bool HelpWindow::ShowPage(const QString& path)
{
    QFile file(path);
    bool ok = file.open(QIODevice::ReadOnly);
    if (ok) {
        m_browser->setSearchPaths({ QFileInfo(path).absolutePath() });
        m_browser->setHtml(QString::fromUtf8(file.readAll()));
    } else {
        m_browser->setPlainText(
            QStringLiteral("The help file \"%1\" cannot be opened: %2").arg(path, file.errorString()));
    }
    show();
    raise();
    activateWindow();
    return ok;
}

QString HelpWindow::Text() const
{
    return m_browser->toPlainText();
}

} // namespace ui
