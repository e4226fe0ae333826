// Where the program keeps its files. No Qt; safe to call from any thread.
#pragma once

#include <string>

namespace app {

// Folder of the persisted files (settings, site book, queue, listing file):
// $TALLOWIN_HOME, else $XDG_CONFIG_HOME/tallowin, else ~/.config/tallowin.
// Created (mode 0700) when missing; never ends in "/" (except "/" itself).
// When it cannot be created the path is still returned and *error (when given)
// says why; later file operations then report their own failures.
std::string ProgramDir(std::string* error = nullptr);

// Scratch folder for temporary copies of remote files: temp112233 under
// $XDG_CACHE_HOME/tallowin (default ~/.cache/tallowin), created with mode 0700
// and set back to 0700 when found with a wider mode. No trailing "/".
std::string ScratchDir(std::string* error = nullptr);

// dir + "/" + name, without doubling a separator; an empty dir gives name.
std::string JoinPath(const std::string& dir, const std::string& name);

// Creates dir and its missing parents with the given mode. True when dir is
// a folder afterwards; otherwise *error tells why.
bool MakeDirs(const std::string& dir, unsigned mode, std::string* error = nullptr);

} // namespace app
