// File lists on the clipboard and in drags, in the forms Linux file managers
// write and read: text/uri-list with the copy or move wish beside it in the
// GNOME and KDE forms, and the plain paths as text.
#pragma once

#include <QMimeData>
#include <QStringList>

namespace ui {

inline constexpr char kUriListMime[] = "text/uri-list";
inline constexpr char kGnomeCopiedFilesMime[] = "x-special/gnome-copied-files";
inline constexpr char kKdeCutSelectionMime[] = "application/x-kde-cutselection";

// Puts the absolute local paths into data as file:// URLs, marked as a move
// (cut) or a copy, with the paths one per line as text/plain.
void WriteFileList(QMimeData& data, const QStringList& paths, bool move);

// The local paths that data carries, from text/uri-list, else from the GNOME
// list, else from text/plain when every line of it is an absolute path or a
// file URL. URLs of other schemes and of other hosts are left out. *move is
// set when either the GNOME or the KDE form asks for a move.
QStringList ReadFileList(const QMimeData& data, bool* move = nullptr);

} // namespace ui
