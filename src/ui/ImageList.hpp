// TImageList: an indexed list of icons of one size (the image lists of the
// remote view). Index positions are what callers rely on, so icons are only
// ever appended.
#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QSize>

namespace ui {

class TImageList : public QObject {
    Q_OBJECT
public:
    explicit TImageList(QSize size, QObject* parent = nullptr)
        : QObject(parent)
        , m_size(size)
    { }

    QSize Size() const { return m_size; }
    int Count() const { return int(m_icons.size()); }
    // Appends and returns the new index.
    int Add(const QIcon& icon)
    {
        m_icons.append(icon);
        return int(m_icons.size()) - 1;
    }
    QIcon Icon(int index) const { return index >= 0 && index < Count() ? m_icons.at(index) : QIcon(); }
    void Clear() { m_icons.clear(); }

private:
    QSize m_size;
    QList<QIcon> m_icons;
};

} // namespace ui
