// The glyphs of the buttons and the program's logo, drawn in code so they
// look the same with every icon theme.
#pragma once

#include <QIcon>
#include <QPixmap>

#include <cstdint>

namespace ui {

enum TGlyph : std::uint8_t {
    glConnect,
    glDisconnect,
    glAddSite,
    glEditSite,
    glDeleteSite,
    glPrevious,
    glNewFolder,
    glCopy,
    glPaste,
    glDelete,
    glRefresh,
    glQueue,
    glPreview,
    glStop
};

QIcon Glyph(TGlyph glyph);
QPixmap LogoPixmap(int size);

} // namespace ui
