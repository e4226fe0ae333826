// dirview: the remote list. One model of parsed rows, shown by a details
// view (the report style) or a list view (big symbols, small symbols, list);
// both share the model and the selection, so a style switch keeps both.
#pragma once

#include "app/core/RemoteList.hpp"

#include <QAbstractTableModel>
#include <QMimeData>
#include <QStackedWidget>

#include <functional>
#include <vector>

class QAbstractItemView;
class QItemSelectionModel;
class QListView;
class QTreeView;

namespace ui {
class TImageList;
}

namespace app {

// The data of rows dragged out of the remote list: text/uri-list, filled on
// the first request, so that a drag that ends nowhere (or on our own local
// list, which downloads by itself) transfers nothing.
class TRemoteDragData : public QMimeData {
    Q_OBJECT
public:
    explicit TRemoteDragData(std::function<QStringList()> fetch);
    QStringList formats() const override;
    bool hasFormat(const QString& mimeType) const override;

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

private:
    std::function<QStringList()> m_fetch;
    mutable bool m_fetched = false;
};

// The rows of a remote listing with the five columns Name, Size, Type,
// Last changed and Permissions. A name keeps the server's bytes; only its
// display is decoded.
class TRemoteModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TRemoteModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    const std::vector<RemoteRow>& Rows() const { return m_rows; }
    const RemoteRow& Row(int row) const { return m_rows[std::size_t(row)]; }
    void SetRows(std::vector<RemoteRow> rows);
    // Reorders the rows with a strict weak order, keeping equal rows in place.
    void Sort(const std::function<bool(const RemoteRow&, const RemoteRow&)>& less);
    // Where icons come from: index 0 folder, 1 file, 2 and up per extension.
    void SetImageLists(const ui::TImageList* small, const ui::TImageList* large);
    void SetLargeIcons(bool large);
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    // Asked when the user finished editing a name in place; the row takes
    // the new name only when it returns true.
    std::function<bool(int row, const std::string& name)> OnEdited;

    // A drag of rows offers text/uri-list; the files are fetched by this
    // (local paths) only when a drop target asks for them.
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    std::function<QStringList()> OnFetchDragFiles;

private:
    std::vector<RemoteRow> m_rows;
    QString m_captions[5];
    const ui::TImageList* m_small = nullptr;
    const ui::TImageList* m_large = nullptr;
    bool m_largeIcons = false;
};

enum TViewStyle : std::uint8_t { vsIcon, vsSmallIcon, vsList, vsReport };

class TDirView : public QStackedWidget {
    Q_OBJECT
public:
    explicit TDirView(QWidget* parent = nullptr);

    TRemoteModel& Model() { return *m_model; }
    const TRemoteModel& Model() const { return *m_model; }
    QTreeView* DetailsView() const { return m_details; }
    QListView* IconView() const { return m_icons; }
    QAbstractItemView* CurrentView() const;
    QItemSelectionModel* Selection() const;

    TViewStyle ViewStyle() const { return m_style; }
    void SetViewStyle(TViewStyle style);
    void SetColumnWidth(int column, int width);
    void SetColumnCaption(int column, const QString& text);
    QString ColumnCaption(int column) const;

    // The row with the keyboard focus, -1 when none.
    int FocusedRow() const;
    void SetFocusedRow(int row);
    bool IsSelected(int row) const;
    std::vector<int> SelectedRows() const;
    void SelectRow(int row, bool select = true);
    int Count() const { return m_model->rowCount(); }

signals:
    // A row was double-clicked or Enter was pressed on it.
    void RowActivated(int row);
    void RowClicked(int row);
    void HeaderClicked(int column);
    // Backspace and F5.
    void ParentRequested();
    void RefreshRequested();
    // Delete and F2.
    void DeleteRequested();
    void RenameRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TRemoteModel* m_model = nullptr;
    QTreeView* m_details = nullptr;
    QListView* m_icons = nullptr;
    TViewStyle m_style = vsReport;
};

} // namespace app
