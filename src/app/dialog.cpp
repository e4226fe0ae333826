#include "app/dialog.hpp"

#include "app/core/Captions.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/SiteBook.hpp"

#include "ui_dlgsite.h"

#include <QValidator>

#include <algorithm>

namespace app {

namespace {

// Refuses any edit that would make the text longer, in UTF-8 bytes, than the
// field it is stored in. Whole characters only: the text is never cut.
class ByteLimitValidator : public QValidator {
public:
    ByteLimitValidator(std::size_t limit, QObject* parent)
        : QValidator(parent)
        , m_limit(limit)
    { }
    State validate(QString& input, int&) const override
    {
        if (input.contains(QChar(0)))
            return Invalid;
        return std::size_t(input.toUtf8().size()) <= m_limit ? Acceptable : Invalid;
    }

private:
    std::size_t m_limit;
};

struct FieldLimit {
    QLineEdit* Ui::TdlgSite::*Edit;
    TSiteField Field;
    const char* Name;
};

constexpr FieldLimit kLimits[] = {
    { &Ui::TdlgSite::edtAlias, sfAlias, "Alias" },
    { &Ui::TdlgSite::edtHost, sfHostName, "Host" },
    { &Ui::TdlgSite::edtUser, sfUserName, "User Name" },
    { &Ui::TdlgSite::edtPassword, sfPassword, "Password" },
    { &Ui::TdlgSite::edtPort, sfPort, "Port" },
    { &Ui::TdlgSite::edtDefaultDir, sfRemoteDir, "Default Dir" },
};

} // namespace

TdlgSite::TdlgSite(bool english, Prompter& prompter, QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::TdlgSite>())
    , m_prompter(prompter)
{
    m_ui->setupUi(this);
    FormCreate(english);
}

TdlgSite::~TdlgSite() = default;

void TdlgSite::FormCreate(bool english)
{
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(sizeHint().expandedTo(QSize(420, 270)));
    for (const DialogLabel& row : SiteDialogLabels()) {
        QWidget* field = findChild<QWidget*>(QString::fromLatin1(row.Control));
        for (QLabel* label : findChildren<QLabel*>())
            if (field && label->buddy() == field)
                label->setText(QString::fromUtf8(Text(row, english)));
    }
    m_ui->cmbVendor->setCurrentIndex(m_ui->cmbVendor->findText(QStringLiteral("AUTO")));
    for (bool sftp : { false, true })
        m_ui->cmbProtocol->addItem(QString::fromUtf8(ProtocolCaption(sftp)));
    // Only a choice of the user moves the port, and only from the other
    // protocol's standard one: a port typed by hand stays.
    connect(m_ui->cmbProtocol, &QComboBox::activated, this, [this](int index) {
        const QString from = index == 1 ? QStringLiteral("21") : QStringLiteral("22");
        if (m_ui->edtPort->text().trimmed() == from)
            m_ui->edtPort->setText(index == 1 ? QStringLiteral("22") : QStringLiteral("21"));
        m_protocolChosen = true;
        ShowFtpOptionsEnabled();
    });
    for (TSiteEncryption value : { seNone, seTlsIfAvailable, seTlsRequired })
        m_ui->cmbEncryption->addItem(QString::fromUtf8(EncryptionCaption(value, english)));
    for (bool mlsd : { false, true })
        m_ui->cmbListing->addItem(QString::fromUtf8(ListingCaption(mlsd, english)));
    m_ui->chkUtf8->setText(QString::fromUtf8(Utf8Caption(english)));
    ShowOptions({});
    for (const FieldLimit& limit : kLimits)
        (m_ui.get()->*limit.Edit)->setValidator(new ByteLimitValidator(SiteFieldCapacity(limit.Field), this));
    connect(m_ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TdlgSite::done(int result)
{
    if (result == QDialog::Accepted) {
        // Text set by the program bypasses the validators; check again.
        for (const FieldLimit& limit : kLimits) {
            QLineEdit* edit = m_ui.get()->*limit.Edit;
            const std::size_t capacity = SiteFieldCapacity(limit.Field);
            if (StoredBytes(edit).size() > capacity) {
                m_prompter.ShowMessage(std::string(limit.Name) + " is too long: at most "
                        + std::to_string(capacity) + " bytes fit.",
                    mkWarning);
                edit->setFocus();
                return;
            }
        }
    }
    QDialog::done(result);
}

void TdlgSite::ShowBytes(QLineEdit* edit, const std::string& bytes)
{
    edit->setText(QString::fromStdString(DisplayText(bytes)));
    m_shown[edit] = Shown { edit->text(), bytes };
}

std::string TdlgSite::StoredBytes(const QLineEdit* edit) const
{
    const auto it = m_shown.find(edit);
    return it != m_shown.end() && it->second.Text == edit->text() ? it->second.Bytes
                                                                  : edit->text().toStdString();
}

void TdlgSite::ShowOptions(const std::string& reserved)
{
    m_shownReserved = reserved;
    m_shownOptions = ParseSiteOptions(reserved);
    m_protocolChosen = false;
    m_ui->cmbProtocol->setCurrentIndex(m_shownOptions.Sftp ? 1 : 0);
    ShowFtpOptionsEnabled();
    // An encryption setting that cannot be read shows as the strictest choice.
    m_ui->cmbEncryption->setCurrentIndex(m_shownOptions.EncryptionUnreadable ? seTlsRequired : m_shownOptions.Encryption);
    m_ui->cmbListing->setCurrentIndex(m_shownOptions.Mlsd ? 1 : 0);
    m_ui->chkUtf8->setChecked(m_shownOptions.Utf8);
}

SiteOptions TdlgSite::Options() const
{
    SiteOptions options;
    options.Encryption = TSiteEncryption(std::clamp(m_ui->cmbEncryption->currentIndex(), 0, 2));
    options.Mlsd = m_ui->cmbListing->currentIndex() == 1;
    options.Utf8 = m_ui->chkUtf8->isChecked();
    options.Unknown = m_shownOptions.Unknown; // kept for the build that wrote them
    options.Sftp = m_ui->cmbProtocol->currentIndex() == 1;
    if (!m_protocolChosen && m_shownOptions.ProtocolUnreadable) {
        // Kept until the user picks a protocol: saving another field must
        // not turn the site into an FTP one.
        options.ProtocolUnreadable = true;
        options.BadProtocol = m_shownOptions.BadProtocol;
    }
    return options;
}

void TdlgSite::ShowFtpOptionsEnabled()
{
    // Encryption, listing and UTF-8 are FTP's; SSH has its own.
    const bool ftp = m_ui->cmbProtocol->currentIndex() == 0;
    m_ui->cmbEncryption->setEnabled(ftp);
    m_ui->cmbListing->setEnabled(ftp);
    m_ui->chkUtf8->setEnabled(ftp);
}

std::string TdlgSite::StoredReserved() const
{
    const SiteOptions options = Options();
    return options == m_shownOptions ? m_shownReserved : FormatSiteOptions(options);
}

} // namespace app
