#include "ui/LsDirTreeCombo28.hpp"

#include "ui/LsFilelistView28.hpp"

#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QTreeView>

namespace ui {

TLsDirTreeCombo28::TLsDirTreeCombo28(QWidget* parent)
    : QComboBox(parent)
{
    setEditable(false);
    addItem(QString());
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(10);
}

void TLsDirTreeCombo28::ShowPath(const QString& path)
{
    m_path = path;
    setItemText(0, path);
    setItemIcon(0,
        style()->standardIcon(
            path == TLsFilelistView28::kDrives ? QStyle::SP_DriveHDIcon : QStyle::SP_DirIcon));
    setToolTip(path);
}

void TLsDirTreeCombo28::SetSelectedPath(const QString& path)
{
    QString shown = path;
    if (path.compare(TLsFilelistView28::kDrives, Qt::CaseInsensitive) == 0) {
        shown = TLsFilelistView28::kDrives;
    } else if (!path.isEmpty()) {
        shown = QDir::cleanPath(QDir(path).absolutePath());
        if (!shown.endsWith(QLatin1Char('/')))
            shown += QLatin1Char('/');
    }
    m_following = true;
    if (m_list && !shown.isEmpty())
        m_list->SetDirectory(shown);
    m_following = false;
    // A folder that is gone or unreadable leaves the list where it was; the
    // chooser shows where the list really is.
    if (m_list)
        shown = m_list->Directory();
    ShowPath(shown);
    if (OnPathChange)
        OnPathChange(this);
}

void TLsDirTreeCombo28::SetFileList(TLsFilelistView28* list)
{
    if (m_list)
        disconnect(m_list, nullptr, this, nullptr);
    m_list = list;
    if (!list)
        return;
    connect(list, &TLsFilelistView28::DirectoryChanged, this, [this](const QString& dir) {
        if (m_following || dir == m_path)
            return;
        ShowPath(dir);
        if (OnPathChange)
            OnPathChange(this);
    });
}

void TLsDirTreeCombo28::EnsureTree()
{
    if (m_tree)
        return;
    m_model = new QFileSystemModel(this);
    m_model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_model->setRootPath(QDir::rootPath());
    m_tree = new QTreeView(this);
    m_tree->setWindowFlags(Qt::Popup);
    m_tree->setObjectName(QStringLiteral("dirTree"));
    m_tree->setModel(m_model);
    m_tree->setHeaderHidden(true);
    for (int c = 1; c < m_model->columnCount(); ++c)
        m_tree->hideColumn(c);
    m_tree->setRootIndex(m_model->index(QDir::rootPath()).parent());
    connect(m_tree, &QTreeView::clicked, this, [this](const QModelIndex& index) {
        const QString path = m_model->filePath(index);
        hidePopup();
        SetSelectedPath(path);
    });
}

void TLsDirTreeCombo28::showPopup()
{
    EnsureTree();
    const QPoint below = mapToGlobal(QPoint(0, height()));
    m_tree->setGeometry(below.x(), below.y(), std::max(width(), 240), m_treeHeight);
    if (m_path != TLsFilelistView28::kDrives && !m_path.isEmpty()) {
        const QModelIndex index = m_model->index(QDir::cleanPath(m_path));
        if (index.isValid()) {
            m_tree->setCurrentIndex(index);
            m_tree->scrollTo(index);
        }
    }
    m_tree->show();
    m_tree->setFocus();
}

void TLsDirTreeCombo28::hidePopup()
{
    if (m_tree)
        m_tree->hide();
    QComboBox::hidePopup();
}

} // namespace ui
