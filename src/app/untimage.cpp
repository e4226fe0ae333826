#include "app/untimage.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace app {

TfrmImage::TfrmImage(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint)
    , Image1(new QLabel(this))
    , chkImageCache(new QCheckBox(QStringLiteral("Use cached files"), this))
{
    setObjectName(QStringLiteral("frmImage"));
    setWindowTitle(QStringLiteral("frmImage"));
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setFixedSize(150, 150);
    Image1->setScaledContents(true);
    chkImageCache->setObjectName(QStringLiteral("chkImageCache"));
    chkImageCache->setChecked(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Image1, 0, Qt::AlignHCenter);
    layout->addWidget(chkImageCache);
    resize(190, 220);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

} // namespace app
