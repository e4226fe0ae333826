#include "ui/LsFilelistView28.hpp"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>

namespace ui {

namespace {

enum TColumn : std::uint8_t { colName, colSize, colType, colDate };
constexpr int SizeRole = Qt::UserRole + 2;
constexpr int DateRole = Qt::UserRole + 3;

// Names sort without regard to case, as file managers do.
bool NameLess(const QString& a, const QString& b)
{
    const int c = QString::localeAwareCompare(a.toLower(), b.toLower());
    return c != 0 ? c < 0 : a < b;
}

// Keeps the parent entry on top and folders before files in either order.
class EntryItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override
    {
        const auto* view = treeWidget();
        const bool ascending = !view || view->header()->sortIndicatorOrder() == Qt::AscendingOrder;
        const int a = data(colName, TLsFilelistView28::KindRole).toInt();
        const int b = other.data(colName, TLsFilelistView28::KindRole).toInt();
        if (a != b)
            return ascending ? a < b : a > b;
        const int column = view ? view->sortColumn() : 0;
        if (column == colSize) {
            const qint64 x = data(colName, SizeRole).toLongLong();
            const qint64 y = other.data(colName, SizeRole).toLongLong();
            if (x != y)
                return x < y;
        } else if (column == colDate) {
            const QDateTime x = data(colName, DateRole).toDateTime();
            const QDateTime y = other.data(colName, DateRole).toDateTime();
            if (x != y)
                return x < y;
        } else if (column == colType) {
            const int c = QString::localeAwareCompare(text(colType), other.text(colType));
            if (c != 0)
                return c < 0;
        }
        return NameLess(text(colName), other.text(colName));
    }
};

QString WithSlash(QString path)
{
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

QIcon FolderIcon(const QStyle* style)
{
    static const QIcon icon
        = QIcon::fromTheme(QStringLiteral("folder"), style->standardIcon(QStyle::SP_DirIcon));
    return icon;
}

QIcon FileIcon(const QStyle* style, const QMimeType& mime)
{
    static QHash<QString, QIcon> cache;
    auto it = cache.constFind(mime.name());
    if (it != cache.constEnd())
        return *it;
    QIcon icon = QIcon::fromTheme(mime.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(mime.genericIconName());
    if (icon.isNull())
        icon = style->standardIcon(QStyle::SP_FileIcon);
    cache.insert(mime.name(), icon);
    return icon;
}

QString SizeText(qint64 bytes)
{
    // Whole kilobytes, rounded up, as file managers show them.
    const qint64 kb = (bytes + 1023) / 1024;
    return QLocale().toString(kb) + QStringLiteral(" KB");
}

} // namespace

TLsFilelistView28::TLsFilelistView28(QWidget* parent)
    : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(true);
    setColumnCount(4);
    setHeaderLabels({ QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Type"),
        QStringLiteral("Modified") });
    headerItem()->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    header()->resizeSection(colName, 160);
    header()->resizeSection(colSize, 70);
    header()->resizeSection(colType, 110);
    setSortingEnabled(true);
    sortByColumn(colName, Qt::AscendingOrder);
    connect(this, &QTreeWidget::currentItemChanged, this,
        [this](QTreeWidgetItem* current, QTreeWidgetItem*) { CurrentChanged(current); });
    connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item, int) { Activated(item); });
    connect(this, &QTreeWidget::itemChanged, this, &TLsFilelistView28::ItemEdited);
    Fill();
}

bool TLsFilelistView28::SetDirectory(const QString& dir)
{
    if (dir.compare(kDrives, Qt::CaseInsensitive) == 0) {
        m_directory = kDrives;
        Fill();
        emit DirectoryChanged(m_directory);
        return true;
    }
    if (dir.isEmpty())
        return false;
    const QFileInfo info(dir);
    if (!info.isDir())
        return false;
    // Case matters on this file system: "/tmp/A" and "/tmp/a" are two folders.
    const QString path = WithSlash(QDir::cleanPath(info.absoluteFilePath()));
    if (path == m_directory)
        return false;
    if (!QDir::setCurrent(path))
        return false;
    m_directory = path;
    Fill();
    emit DirectoryChanged(m_directory);
    return true;
}

void TLsFilelistView28::SetMask(const QString& mask)
{
    m_mask = mask.isEmpty() ? QStringLiteral("*.*") : mask;
    Fill();
}

void TLsFilelistView28::SetParentCaption(const QString& caption)
{
    m_parentCaption = caption;
    Fill();
}

QString TLsFilelistView28::Selected() const
{
    const QTreeWidgetItem* item = currentItem();
    return item ? item->text(colName) : QString();
}

QString TLsFilelistView28::SelectedPath() const
{
    const QTreeWidgetItem* item = currentItem();
    return item ? item->data(colName, PathRole).toString() : QString();
}

QStringList TLsFilelistView28::SelectedPaths() const
{
    QStringList paths;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = topLevelItem(i);
        const int kind = item->data(colName, KindRole).toInt();
        if (item->isSelected() && (kind == ekFolder || kind == ekFile))
            paths << item->data(colName, PathRole).toString();
    }
    return paths;
}

QTreeWidgetItem* TLsFilelistView28::FindItem(const QString& caption) const
{
    for (int i = 0; i < topLevelItemCount(); ++i)
        if (topLevelItem(i)->text(colName) == caption)
            return topLevelItem(i);
    return nullptr;
}

void TLsFilelistView28::Reload()
{
    if (m_directory != kDrives && !QFileInfo(m_directory).isDir()) {
        // The folder went away under us: show the nearest one that is left.
        QDir up(m_directory);
        while (!up.exists() && up.cdUp()) { }
        m_directory = WithSlash(up.exists() ? up.absolutePath() : QDir::rootPath());
        QDir::setCurrent(m_directory);
        emit DirectoryChanged(m_directory);
    }
    Fill();
}

bool TLsFilelistView28::OneLevelUp()
{
    if (m_directory == kDrives)
        return false;
    QDir dir(m_directory);
    if (!dir.cdUp())
        return SetDirectory(kDrives);
    const QString child = QFileInfo(QDir::cleanPath(m_directory)).fileName();
    const bool moved = SetDirectory(dir.absolutePath());
    if (moved)
        SelectByCaption(child);
    return moved;
}

QString TLsFilelistView28::NewFolder()
{
    if (m_directory == kDrives) {
        ReportError(QStringLiteral("A folder cannot be created in the list of drives."));
        return {};
    }
    QDir dir(m_directory);
    const QString base = QStringLiteral("New Folder");
    // mkdir fails on an existing name, so a folder made meanwhile by another
    // program is never taken over.
    for (int n = 1; n <= 1000; ++n) {
        const QString name = n == 1 ? base : QStringLiteral("%1 (%2)").arg(base).arg(n);
        if (dir.exists(name))
            continue;
        if (dir.mkdir(name)) {
            Fill();
            SelectByCaption(name);
            return name;
        }
        if (!dir.exists(name))
            break; // not a collision: the folder cannot be written
    }
    ReportError(QStringLiteral("Cannot create a new folder in %1").arg(m_directory));
    return {};
}

void TLsFilelistView28::RenameSelected()
{
    QTreeWidgetItem* item = currentItem();
    if (!item)
        return;
    const int kind = item->data(colName, KindRole).toInt();
    if (kind != ekFolder && kind != ekFile)
        return;
    m_renaming = nullptr; // setFlags reports a change of the item
    const bool sorting = isSortingEnabled();
    setSortingEnabled(false); // the row must not move while it is edited
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    setSortingEnabled(sorting);
    m_renaming = item;
    m_renameFrom = item->text(colName);
    scrollToItem(item);
    editItem(item, colName);
}

bool TLsFilelistView28::RenameEntry(const QString& oldName, const QString& newName)
{
    if (m_directory == kDrives)
        return false;
    if (newName == oldName)
        return true;
    if (newName.isEmpty() || newName.contains(QLatin1Char('/')) || newName == QLatin1String(".")
        || newName == QLatin1String("..")) {
        ReportError(QStringLiteral("\"%1\" is not a valid name.").arg(newName));
        return false;
    }
    QDir dir(m_directory);
    const QFileInfo target(dir.filePath(newName));
    if (target.exists() || target.isSymLink()) {
        ReportError(QStringLiteral("\"%1\" already exists.").arg(newName));
        return false;
    }
    if (!dir.rename(oldName, newName)) {
        ReportError(QStringLiteral("Cannot rename \"%1\" to \"%2\".").arg(oldName, newName));
        return false;
    }
    Fill();
    SelectByCaption(newName);
    return true;
}

int TLsFilelistView28::DeleteSelected()
{
    const QStringList paths = SelectedPaths();
    if (paths.isEmpty())
        return 0;
    bool agreed;
    if (OnConfirmDelete) {
        agreed = OnConfirmDelete(this, paths);
    } else {
        const QString what = paths.size() == 1 ? QStringLiteral("\"%1\"").arg(paths.front())
                                               : QStringLiteral("these %1 items").arg(paths.size());
        agreed = QMessageBox::question(
                     this, QStringLiteral("Delete"), QStringLiteral("Move %1 to the trash?").arg(what))
            == QMessageBox::Yes;
    }
    if (!agreed)
        return 0;
    // The trash lives under the data folder, which a fresh account may lack.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    int moved = 0;
    QStringList failed;
    for (const QString& path : paths) {
        // Never removed for good: what cannot go to the trash stays where it is.
        QString p = path.endsWith(QLatin1Char('/')) ? path.chopped(1) : path;
        if (QFile::moveToTrash(p))
            ++moved;
        else
            failed << p;
    }
    Fill();
    if (!failed.isEmpty())
        ReportError(QStringLiteral("Cannot move to the trash:\n%1").arg(failed.join(QLatin1Char('\n'))));
    return moved;
}

void TLsFilelistView28::Fill()
{
    m_filling = true;
    m_renaming = nullptr;
    const QString current = Selected();
    setSortingEnabled(false);
    clear();
    if (m_directory == kDrives) {
        FillDrives();
    } else {
        QDir dir(m_directory);
        auto* parent = new EntryItem(this);
        parent->setText(colName, m_parentCaption);
        parent->setIcon(colName, style()->standardIcon(QStyle::SP_FileDialogToParent));
        parent->setData(colName, PathRole, dir.cdUp() ? WithSlash(dir.absolutePath()) : kDrives);
        parent->setData(colName, KindRole, int(ekParent));
        const QFileInfoList entries
            = QDir(m_directory)
                  .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::NoSort);
        for (const QFileInfo& info : entries)
            AddEntry(info);
    }
    setSortingEnabled(true);
    m_filling = false;
    if (!current.isEmpty())
        SelectByCaption(current);
}

void TLsFilelistView28::FillDrives()
{
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady())
            continue;
        auto* item = new EntryItem(this);
        item->setText(colName, volume.rootPath());
        item->setIcon(colName,
            QIcon::fromTheme(
                QStringLiteral("drive-harddisk"), style()->standardIcon(QStyle::SP_DriveHDIcon)));
        item->setData(colName, PathRole, WithSlash(volume.rootPath()));
        item->setData(colName, KindRole, int(ekDrive));
        item->setText(
            colSize, QLocale().formattedDataSize(volume.bytesTotal(), 1, QLocale::DataSizeTraditionalFormat));
        item->setData(colName, SizeRole, volume.bytesTotal());
        item->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
        item->setText(colType, QString::fromUtf8(volume.fileSystemType()));
    }
}

void TLsFilelistView28::AddEntry(const QFileInfo& info)
{
    static const QMimeDatabase mimes;
    const bool folder = info.isDir();
    if (!folder && !MatchesMask(info.fileName()))
        return;
    if (info.isHidden())
        return;
    auto* item = new EntryItem(this);
    item->setText(colName, info.fileName());
    item->setData(colName, KindRole, int(folder ? ekFolder : ekFile));
    item->setData(colName, PathRole, folder ? WithSlash(info.absoluteFilePath()) : info.absoluteFilePath());
    const QDateTime modified = info.lastModified();
    item->setData(colName, DateRole, modified);
    item->setText(colDate, QLocale().toString(modified, QStringLiteral("yyyy-MM-dd HH:mm")));
    if (folder) {
        item->setIcon(colName, FolderIcon(style()));
        item->setText(colType, QStringLiteral("File Folder"));
    } else {
        const QMimeType mime = mimes.mimeTypeForFile(info);
        item->setIcon(colName, FileIcon(style(), mime));
        item->setText(colType, mime.comment());
        item->setText(colSize, SizeText(info.size()));
        item->setData(colName, SizeRole, info.size());
        item->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    }
}

bool TLsFilelistView28::MatchesMask(const QString& name) const
{
    const QStringList masks = m_mask.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString mask : masks) {
        mask = mask.trimmed();
        if (mask == QLatin1String("*.*") || mask == QLatin1String("*"))
            return true;
        const QRegularExpression re(
            QRegularExpression::wildcardToRegularExpression(mask), QRegularExpression::CaseInsensitiveOption);
        if (re.match(name).hasMatch())
            return true;
    }
    return false;
}

void TLsFilelistView28::ReportError(const QString& message)
{
    if (OnError)
        OnError(this, message);
    else
        QMessageBox::warning(this, QStringLiteral("Tallowin"), message);
}

void TLsFilelistView28::CurrentChanged(QTreeWidgetItem* current)
{
    if (m_filling || !current)
        return;
    if (OnItemChange)
        OnItemChange(this, current->data(colName, PathRole).toString());
}

void TLsFilelistView28::Activated(QTreeWidgetItem* item)
{
    if (!item)
        return;
    setCurrentItem(item);
    if (OnDblClick) {
        OnDblClick(this);
        return;
    }
    const int kind = item->data(colName, KindRole).toInt();
    if (kind != ekFile)
        SetDirectory(item->data(colName, PathRole).toString());
}

void TLsFilelistView28::ItemEdited(QTreeWidgetItem* item, int column)
{
    if (m_filling || item != m_renaming || column != colName)
        return;
    const QString from = m_renameFrom;
    const QString to = item->text(colName);
    m_renaming = nullptr;
    // The editor is still closing: rename and reload once it is gone.
    QMetaObject::invokeMethod(
        this,
        [this, from, to] {
            if (!RenameEntry(from, to) || from == to)
                Fill();
        },
        Qt::QueuedConnection);
}

void TLsFilelistView28::SelectByCaption(const QString& caption)
{
    if (QTreeWidgetItem* item = FindItem(caption)) {
        m_filling = true;
        setCurrentItem(item);
        m_filling = false;
        scrollToItem(item);
    }
}

} // namespace ui
