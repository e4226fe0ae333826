// SiteList: the site book and the site list (ComboBox1) that shows it. It
// owns the book and the list's mapping: the book position and the alias
// bytes of each entry in list order (an alias that is not UTF-8, from an
// older book, must still find its record). Owned by the main window; lives
// on the GUI thread.
#pragma once

#include "app/core/SiteBook.hpp"

#include <optional>
#include <string>
#include <vector>

class QComboBox;

namespace app {

class SiteList {
public:
    void SetView(QComboBox& list) { m_list = &list; }
    SiteBook& Book() { return m_book; }

    // Shows the book's live entries; false (the list empty) with the reason
    // when the book cannot be read. A closed book leaves the list empty.
    bool Fill(std::string* error);
    // The alias bytes of the selected entry; nullptr when none is selected.
    const std::string* SelectedAlias() const;
    // The record of the selected entry (an empty alias when none is).
    std::optional<SiteEntry> FindSelected(std::string* error);
    // Selects the entry of a book position; none when it is not listed.
    void SelectAt(std::size_t position);

private:
    SiteBook m_book;
    QComboBox* m_list = nullptr;
    std::vector<std::size_t> m_positions; // book position of each entry, in list order
    std::vector<std::string> m_aliases;   // alias bytes of each entry
};

} // namespace app
