#include "app/untimage.hpp"

#include "app/JpegDecode.hpp"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

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

namespace {

bool StrictlyInside(const fs::path& path, const fs::path& folder)
{
    const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return f == folder.end() && p != path.end();
}

} // namespace

bool TfrmImage::Refuse(const std::string& file, const std::string& why)
{
    m_previewError = file + ": " + why;
    return false;
}

bool TfrmImage::ShowImagePreview(const std::string& file, const std::string& scratchDir)
{
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
    m_previewError.clear();

    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0) {
        // The scratch folder holds names chosen by the server; a link planted
        // there must not make us read files elsewhere.
        if (S_ISLNK(st.st_mode))
            return Refuse(file, "is a symbolic link");
        std::error_code ec1, ec2;
        const fs::path real = fs::canonical(file, ec1);
        const fs::path scratch = fs::canonical(scratchDir, ec2);
        if (ec1 || ec2 || !StrictlyInside(real, scratch))
            return Refuse(file, "is not inside the scratch folder");
        if (!S_ISREG(st.st_mode))
            return Refuse(file, "is not a regular file");
        if (st.st_size > 0) {
            // O_NOFOLLOW and the second check close the gap to a swap after lstat.
            const int fd = ::open(real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                return Refuse(file, std::strerror(errno));
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                ::close(fd);
                return Refuse(file, "is not a regular file");
            }
            std::FILE* stream = ::fdopen(fd, "rb");
            if (!stream) {
                ::close(fd);
                return Refuse(file, std::strerror(errno));
            }
            QImage picture;
            std::string error;
            const bool decoded = DecodeJpegStream(stream, picture, &error);
            std::fclose(stream);
            if (!decoded)
                return Refuse(file, error);
            Image1->setPixmap(QPixmap::fromImage(picture));
        }
    }
    show();
    raise();
    return true;
}

} // namespace app
