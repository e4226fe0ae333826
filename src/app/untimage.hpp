// TfrmImage: the picture preview window, created once at start-up and shown
// for each preview.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QWidget>

namespace app {

class TfrmImage : public QWidget {
    Q_OBJECT
public:
    explicit TfrmImage(QWidget* parent = nullptr);

    QLabel* Image1;
    QCheckBox* chkImageCache;
};

} // namespace app
