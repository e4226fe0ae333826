#include "app/dirview.hpp"

#include "app/core/Captions.hpp"
#include "ui/ImageList.hpp"

#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QTreeView>
#include <QUrl>

#include <algorithm>

namespace app {

namespace {
constexpr int kColumns = 5;
}

TRemoteModel::TRemoteModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    const char* captions[kColumns] = { "Name", "Size", "Type", "Last changed", "Permissions" };
    for (int c = 0; c < kColumns; ++c)
        m_captions[c] = QString::fromLatin1(captions[c]);
}

int TRemoteModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int TRemoteModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant TRemoteModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const RemoteRow& row = m_rows[std::size_t(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::AccessibleTextRole:
    case Qt::ToolTipRole: {
        if (role == Qt::ToolTipRole && column != 0)
            return {};
        // A row that ended early has fewer sub-items.
        if (column > 0 && column > row.subItems)
            return QString();
        const std::string* texts[kColumns] = { &row.name, &row.size, &row.type, &row.changed, &row.perms };
        return QString::fromUtf8(DisplayText(*texts[column]));
    }
    case Qt::DecorationRole:
        if (column == 0) {
            const ui::TImageList* list = m_largeIcons ? m_large : m_small;
            if (list)
                return list->Icon(row.image);
        }
        return {};
    case Qt::TextAlignmentRole:
        return column == 1 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    default:
        return {};
    }
}

QVariant TRemoteModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns)
        return {};
    if (role == Qt::DisplayRole)
        return m_captions[section];
    if (role == Qt::TextAlignmentRole && section == 1)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

bool TRemoteModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role)
{
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns || role != Qt::DisplayRole)
        return false;
    m_captions[section] = value.toString();
    emit headerDataChanged(orientation, section, section);
    return true;
}

QStringList TRemoteModel::mimeTypes() const
{
    return { QStringLiteral("text/uri-list") };
}

QMimeData* TRemoteModel::mimeData(const QModelIndexList& indexes) const
{
    if (indexes.isEmpty())
        return nullptr;
    return new TRemoteDragData(OnFetchDragFiles);
}

TRemoteDragData::TRemoteDragData(std::function<QStringList()> fetch)
    : m_fetch(std::move(fetch))
{
}

QStringList TRemoteDragData::formats() const
{
    return m_fetched ? QMimeData::formats() : QStringList { QStringLiteral("text/uri-list") };
}

bool TRemoteDragData::hasFormat(const QString& mimeType) const
{
    return formats().contains(mimeType);
}

QVariant TRemoteDragData::retrieveData(const QString& mimeType, QMetaType type) const
{
    if (!m_fetched && mimeType == QLatin1String("text/uri-list")) {
        m_fetched = true;
        QList<QUrl> urls;
        if (m_fetch) {
            for (const QString& path : m_fetch())
                urls << QUrl::fromLocalFile(path);
        }
        const_cast<TRemoteDragData*>(this)->setUrls(urls);
    }
    return QMimeData::retrieveData(mimeType, type);
}

Qt::ItemFlags TRemoteModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    const Qt::ItemFlags editable = index.column() == 0 ? Qt::ItemIsEditable : Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren | editable;
}

bool TRemoteModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::EditRole || !index.isValid() || index.column() != 0 || index.row() >= int(m_rows.size()))
        return false;
    const std::string name = value.toString().toStdString();
    RemoteRow& row = m_rows[std::size_t(index.row())];
    if (name.empty() || name == row.name || !OnEdited || !OnEdited(index.row(), name))
        return false;
    // OnEdited may have listed the folder again; the row is looked up afresh.
    if (index.row() < int(m_rows.size())) {
        m_rows[std::size_t(index.row())].name = name;
        emit dataChanged(index, index);
    }
    return true;
}

void TRemoteModel::SetRows(std::vector<RemoteRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void TRemoteModel::Sort(const std::function<bool(const RemoteRow&, const RemoteRow&)>& less)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> order(m_rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::stable_sort(order.begin(), order.end(),
        [&](int a, int b) { return less(m_rows[std::size_t(a)], m_rows[std::size_t(b)]); });
    std::vector<RemoteRow> sorted;
    sorted.reserve(m_rows.size());
    std::vector<int> newPlace(m_rows.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        sorted.push_back(std::move(m_rows[std::size_t(order[i])]));
        newPlace[std::size_t(order[i])] = int(i);
    }
    m_rows = std::move(sorted);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after.append(this->index(newPlace[std::size_t(index.row())], index.column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TRemoteModel::SetImageLists(const ui::TImageList* small, const ui::TImageList* large)
{
    m_small = small;
    m_large = large;
}

void TRemoteModel::SetLargeIcons(bool large)
{
    if (m_largeIcons == large)
        return;
    m_largeIcons = large;
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(int(m_rows.size()) - 1, 0), { Qt::DecorationRole });
}

// ---------------------------------------------------------------- the view

TDirView::TDirView(QWidget* parent)
    : QStackedWidget(parent)
    , m_model(new TRemoteModel(this))
    , m_details(new QTreeView(this))
    , m_icons(new QListView(this))
{
    m_details->setObjectName(QStringLiteral("dirviewDetails"));
    m_icons->setObjectName(QStringLiteral("dirviewIcons"));
    m_details->setModel(m_model);
    m_icons->setModel(m_model);
    m_icons->setSelectionModel(m_details->selectionModel());
    m_details->setRootIsDecorated(false);
    m_details->setUniformRowHeights(true);
    m_details->setAllColumnsShowFocus(true);
    m_details->setItemsExpandable(false);
    m_details->header()->setSectionsClickable(true);
    m_details->header()->setSortIndicatorShown(false);
    m_details->header()->setStretchLastSection(false);
    for (QAbstractItemView* view : { static_cast<QAbstractItemView*>(m_details), static_cast<QAbstractItemView*>(m_icons) }) {
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        // A click on a selected row's name edits it in place; F2 is the rename dialog's.
        view->setEditTriggers(QAbstractItemView::SelectedClicked);
        view->setDragEnabled(true);
        view->setContextMenuPolicy(Qt::NoContextMenu); // the stack's own policy decides
        view->installEventFilter(this);
        view->viewport()->installEventFilter(this);
        connect(view, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { emit RowActivated(index.row()); });
        connect(view, &QAbstractItemView::clicked, this,
            [this](const QModelIndex& index) { emit RowClicked(index.row()); });
    }
    m_icons->setUniformItemSizes(true);
    m_icons->setLayoutMode(QListView::Batched);
    m_icons->setBatchSize(2000);
    connect(m_details->header(), &QHeaderView::sectionClicked, this, &TDirView::HeaderClicked);
    addWidget(m_details);
    addWidget(m_icons);
    setCurrentWidget(m_details);
    setFocusProxy(m_details);
}

QAbstractItemView* TDirView::CurrentView() const
{
    return m_style == vsReport ? static_cast<QAbstractItemView*>(m_details) : m_icons;
}

QItemSelectionModel* TDirView::Selection() const
{
    return m_details->selectionModel();
}

void TDirView::SetViewStyle(TViewStyle style)
{
    m_style = style;
    m_model->SetLargeIcons(style == vsIcon);
    if (style == vsReport) {
        setCurrentWidget(m_details);
        setFocusProxy(m_details);
        return;
    }
    const bool big = style == vsIcon;
    m_icons->setViewMode(big ? QListView::IconMode : QListView::ListMode);
    m_icons->setFlow(style == vsSmallIcon ? QListView::LeftToRight : QListView::TopToBottom);
    m_icons->setWrapping(true);
    m_icons->setResizeMode(QListView::Adjust);
    m_icons->setIconSize(big ? QSize(32, 32) : QSize(16, 16));
    m_icons->setMovement(QListView::Static);
    m_icons->setGridSize(big ? QSize(96, 64) : QSize());
    setCurrentWidget(m_icons);
    setFocusProxy(m_icons);
}

void TDirView::SetColumnWidth(int column, int width)
{
    m_details->setColumnWidth(column, width);
}

void TDirView::SetColumnCaption(int column, const QString& text)
{
    m_model->setHeaderData(column, Qt::Horizontal, text, Qt::DisplayRole);
}

QString TDirView::ColumnCaption(int column) const
{
    return m_model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
}

int TDirView::FocusedRow() const
{
    const QModelIndex current = Selection()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TDirView::SetFocusedRow(int row)
{
    Selection()->setCurrentIndex(m_model->index(row, 0), QItemSelectionModel::NoUpdate);
}

bool TDirView::IsSelected(int row) const
{
    return Selection()->isRowSelected(row, {});
}

std::vector<int> TDirView::SelectedRows() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : Selection()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void TDirView::SelectRow(int row, bool select)
{
    Selection()->select(m_model->index(row, 0),
        (select ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) | QItemSelectionModel::Rows);
}

bool TDirView::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && (watched == m_details || watched == m_icons)) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))
            return QStackedWidget::eventFilter(watched, event);
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (FocusedRow() >= 0)
                emit RowActivated(FocusedRow());
            return true;
        case Qt::Key_Backspace:
            emit ParentRequested();
            return true;
        case Qt::Key_F5:
            emit RefreshRequested();
            return true;
        case Qt::Key_Delete:
            emit DeleteRequested();
            return true;
        case Qt::Key_F2:
            emit RenameRequested();
            return true;
        default:
            break;
        }
    }
    return QStackedWidget::eventFilter(watched, event);
}

} // namespace app
