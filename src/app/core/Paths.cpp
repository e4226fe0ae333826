#include "app/core/Paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {
namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeDir()
{
    std::string home = Env("HOME");
    if (!home.empty())
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/tmp";
}

std::string StripTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// An XDG base folder: the variable when it holds an absolute path, else the default.
std::string XdgBase(const char* variable, const char* fallback)
{
    std::string value = Env(variable);
    if (!value.empty() && value.front() == '/')
        return StripTrailingSlashes(value);
    return JoinPath(HomeDir(), fallback);
}

void SetError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

} // namespace

std::string JoinPath(const std::string& dir, const std::string& name)
{
    if (dir.empty())
        return name;
    if (dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

bool MakeDirs(const std::string& dir, unsigned mode, std::string* error)
{
    if (dir.empty()) {
        SetError(error, "Cannot create a folder with an empty name");
        return false;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        SetError(error, "Cannot create folder \"" + dir + "\": a file of that name exists");
        return false;
    }
    const std::size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        // Parents get the same mode: they are ours (config and cache folders).
        if (!MakeDirs(dir.substr(0, slash), mode, error))
            return false;
    }
    if (mkdir(dir.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
        SetError(error, "Cannot create folder \"" + dir + "\": " + std::strerror(errno));
        return false;
    }
    return true;
}

std::string ProgramDir(std::string* error)
{
    std::string dir = Env("TALLOWIN_HOME");
    if (!dir.empty())
        dir = StripTrailingSlashes(dir);
    else
        dir = JoinPath(XdgBase("XDG_CONFIG_HOME", ".config"), "tallowin");
    MakeDirs(dir, 0700, error);
    return dir;
}

std::string ScratchDir(std::string* error)
{
    const std::string dir = JoinPath(JoinPath(XdgBase("XDG_CACHE_HOME", ".cache"), "tallowin"), "temp112233");
    if (!MakeDirs(dir, 0700, error))
        return dir;
    // Copies of remote files land here: nobody else may read them.
    struct stat st {};
    if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 07777) != 0700) {
        if (chmod(dir.c_str(), 0700) != 0)
            SetError(error, "Cannot set the mode of \"" + dir + "\": " + std::strerror(errno));
    }
    return dir;
}

} // namespace app
