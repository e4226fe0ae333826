#include "app/options.hpp"

#include "ui_pagesdlg.h"

namespace app {

TPagesDlg::TPagesDlg(QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::TPagesDlg>())
{
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    connect(m_ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    // "&Help" has no action.
}

TPagesDlg::~TPagesDlg() = default;

} // namespace app
