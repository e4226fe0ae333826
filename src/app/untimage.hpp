// TfrmImage: the picture preview window, created once at start-up and shown
// for each preview.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QWidget>

#include <string>

namespace app {

class TfrmImage : public QWidget {
    Q_OBJECT
public:
    explicit TfrmImage(QWidget* parent = nullptr);

    // Decodes file (a JPEG in the scratch folder) into Image1 and shows the
    // window. A missing or empty file shows the previous picture. A file that
    // cannot be decoded, a symbolic link, or one that resolves to a place
    // outside scratchDir returns false without showing the window; the reason
    // is then in PreviewError().
    bool ShowImagePreview(const std::string& file, const std::string& scratchDir);
    const std::string& PreviewError() const { return m_previewError; }

    QLabel* Image1;
    QCheckBox* chkImageCache;

private:
    bool Refuse(const std::string& file, const std::string& why);

    std::string m_previewError;
};

} // namespace app
