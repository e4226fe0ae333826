#include "app/SiteList.hpp"

#include "app/core/Captions.hpp"

#include <QComboBox>

#include <algorithm>

namespace app {

bool SiteList::Fill(std::string* error)
{
    m_list->clear();
    m_positions.clear();
    m_aliases.clear();
    if (!m_book.IsOpen())
        return true;
    std::string readError;
    const std::vector<SiteEntry> entries = m_book.LiveEntries(&readError);
    if (!readError.empty()) {
        if (error)
            *error = readError;
        return false;
    }
    for (const SiteEntry& entry : entries) {
        m_list->addItem(QString::fromStdString(DisplayText(entry.Record.Alias())));
        m_positions.push_back(entry.Position);
        m_aliases.push_back(entry.Record.Alias());
    }
    return true;
}

const std::string* SiteList::SelectedAlias() const
{
    const int index = m_list->currentIndex();
    return index >= 0 && std::size_t(index) < m_aliases.size() ? &m_aliases[std::size_t(index)] : nullptr;
}

std::optional<SiteEntry> SiteList::FindSelected(std::string* error)
{
    const std::string* alias = SelectedAlias();
    return m_book.Find(alias ? *alias : std::string(), error);
}

void SiteList::SelectAt(std::size_t position)
{
    const auto it = std::find(m_positions.begin(), m_positions.end(), position);
    const int index = static_cast<int>(it - m_positions.begin());
    m_list->setCurrentIndex(it != m_positions.end() && index < m_list->count() ? index : -1);
}

} // namespace app
