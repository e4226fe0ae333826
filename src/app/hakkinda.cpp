#include "app/hakkinda.hpp"

#include "ui/Glyphs.hpp"

#include "ui_aboutbox.h"

namespace app {

namespace {
// The two parts of the disclaimer, shown joined directly.
constexpr const char* kDisclaimer1[] = { "This program is provided as it is, without any warranty. ",
    "Bu program olduğu gibi, hiçbir garanti verilmeden sunulur. " };
constexpr const char* kDisclaimer2[]
    = { "You use it at your own risk.", "Kullanımından doğan risk size aittir." };
} // namespace

TAboutBox::TAboutBox(bool english, QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::TAboutBox>())
{
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_ui->ProgramIcon->setPixmap(ui::LogoPixmap(48));
    const int lang = english ? 0 : 1;
    m_ui->Comments->setText(QString::fromUtf8(kDisclaimer1[lang]) + QString::fromUtf8(kDisclaimer2[lang]));
    connect(m_ui->OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

TAboutBox::~TAboutBox() = default;

} // namespace app
