#include "app/proxy1.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {

TOKBottomDlg::TOKBottomDlg(const std::string& proxyName, const std::string& passiveMode, QWidget* parent)
    : QDialog(parent)
    , m_edit1(new QLineEdit(this))
    , m_passive(new QCheckBox(QStringLiteral("Passive Mode"), this))
    , m_ok(new QPushButton(QStringLiteral("OK"), this))
    , m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("OKBottomDlg"));
    setWindowTitle(QStringLiteral("Proxy"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_edit1->setObjectName(QStringLiteral("Edit1"));
    m_passive->setObjectName(QStringLiteral("chkPassive"));
    m_ok->setObjectName(QStringLiteral("OKBtn"));
    m_cancel->setObjectName(QStringLiteral("CancelBtn"));
    auto* label = new QLabel(QStringLiteral("Proxy Name"), this);
    label->setBuddy(m_edit1);
    m_edit1->setAccessibleName(label->text());

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_passive);
    layout->addWidget(label);
    layout->addWidget(m_edit1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    m_edit1->setText(QString::fromStdString(proxyName));
    m_passive->setChecked(passiveMode != "NO");
}

std::string TOKBottomDlg::ProxyName() const
{
    return m_edit1->text().toStdString();
}

std::string TOKBottomDlg::PassiveMode() const
{
    return m_passive->isChecked() ? "YES" : "NO";
}

} // namespace app
