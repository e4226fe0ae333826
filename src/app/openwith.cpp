#include "app/openwith.hpp"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeDatabase>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace app {

TOpenWithDlg::TOpenWithDlg(const std::string& file, QWidget* parent)
    : QDialog(parent)
    , m_file(file)
    , m_apps(new QListWidget(this))
    , m_command(new QLineEdit(this))
    , m_ok(new QPushButton(QStringLiteral("OK"), this))
    , m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("OpenWithDlg"));
    setWindowTitle(QStringLiteral("Open With"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_apps->setObjectName(QStringLiteral("lstApps"));
    m_command->setObjectName(QStringLiteral("edtCommand"));
    m_ok->setObjectName(QStringLiteral("OKBtn"));
    m_cancel->setObjectName(QStringLiteral("CancelBtn"));

    const QString path = QString::fromStdString(file);
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    std::vector<std::string> dirs;
    for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        dirs.push_back(dir.toStdString());
    m_list = AppsForMimeType(dirs, type.name().toStdString());
    for (const DesktopApp& app : m_list)
        m_apps->addItem(QString::fromStdString(app.Name));
    if (!m_list.empty())
        m_apps->setCurrentRow(0);

    auto* label = new QLabel(QStringLiteral("Choose the program to open \"%1\" (%2):")
                                 .arg(QFileInfo(path).fileName(), type.comment()),
        this);
    label->setWordWrap(true);
    auto* commandLabel = new QLabel(QStringLiteral("Or run this command:"), this);
    commandLabel->setBuddy(m_command);
    m_apps->setAccessibleName(QStringLiteral("Programs"));
    m_command->setAccessibleName(commandLabel->text());
    m_command->setPlaceholderText(QStringLiteral("program and options; the file is added at the end"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_apps);
    layout->addWidget(commandLabel);
    layout->addWidget(m_command);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_apps, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    resize(420, 360);
}

std::vector<std::string> TOpenWithDlg::Command() const
{
    const std::string typed = m_command->text().trimmed().toStdString();
    if (!typed.empty())
        return ExpandCommandLine(typed, m_file);
    const int row = m_apps->currentRow();
    if (row < 0 || std::size_t(row) >= m_list.size())
        return {};
    return ExpandExec(m_list[std::size_t(row)].Exec, m_file);
}

} // namespace app
