#include "app/RemotePane.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Captions.hpp"
#include "app/core/Queue.hpp"
#include "app/dirview.hpp"
#include "ui/ImageList.hpp"

#include <QIcon>
#include <QMimeDatabase>

#include <algorithm>

namespace app {

TRemoteModel& RemotePane::Model()
{
    return m_view->Model();
}

void RemotePane::SetImageLists(ui::TImageList* small, ui::TImageList* large)
{
    m_iconsSmall = small;
    m_iconsLarge = large;
    m_view->Model().SetImageLists(small, large);
}

int RemotePane::IconIndex(const std::string& key)
{
    if (const auto it = m_IconCache.find(key); it != m_IconCache.end())
        return it->second;
    // The MIME database knows the type by its extension; the icon theme has
    // its picture. Keys of one type share one image, and a miss is
    // remembered too, so every key costs one look-up.
    static const QMimeDatabase mimes;
    int index = -1;
    const QString name = QStringLiteral("x") + QString::fromUtf8(DisplayText(key));
    for (const QMimeType& type : mimes.mimeTypesForFileName(name)) {
        if (const auto known = m_mimeIcons.find(type.name()); known != m_mimeIcons.end()) {
            index = known->second;
            break;
        }
        QIcon icon = QIcon::fromTheme(type.iconName());
        if (icon.isNull())
            icon = QIcon::fromTheme(type.genericIconName());
        if (icon.isNull())
            continue;
        m_iconsSmall->Add(icon);
        index = m_iconsLarge->Add(icon);
        m_mimeIcons.emplace(type.name(), index);
        break;
    }
    m_IconCache.emplace(key, index);
    return index;
}

void RemotePane::ColumnClick(int column)
{
    m_Tag = 1 - m_Tag;
    m_SortColumn = column;
    const int direction = m_Tag;
    Model().Sort([column, direction](const RemoteRow& a, const RemoteRow& b) {
        return ColumnClickLess(a, b, column, direction);
    });
}

// ---------------------------------------------------------------- the selection walk

namespace {

// A file of a walk: its path, its listed size, type and permissions.
RemoteRow WalkedFile(std::string path, const RemoteRow& row)
{
    RemoteRow file;
    file.name = std::move(path);
    file.size = row.size;
    file.bytes = row.bytes;
    file.type = row.type;
    file.perms = row.perms;
    file.subItems = 2;
    return file;
}

} // namespace

void RemotePane::MakeSelectedList(const std::string& base, std::vector<RemoteRow>& view)
{
    m_walking = true;
    m_walkLost = false;
    view.clear();
    const TRemoteModel& model = Model();
    for (int i = 0; i < model.rowCount() && !Stopped() && !m_walkLost; ++i) {
        if (!m_view->IsSelected(i))
            continue;
        const RemoteRow row = model.Row(i);
        const std::string name = CommandName(row);
        if (!IsWalkableName(name)) {
            Note("\"" + name + "\" is not a usable name; it is skipped.");
            continue;
        }
        if (!row.IsFolder()) {
            view.push_back(WalkedFile(name, row));
            continue;
        }
        ListDir(JoinRemote(base, name), name, view);
    }
    m_walking = false;
}

void RemotePane::ListDir(const std::string& path, const std::string& folder, std::vector<RemoteRow>& view)
{
    m_walkDirs.clear();
    WalkFolder(path, folder, view, 1);
}

void RemotePane::WalkFolder(
    const std::string& path, const std::string& folder, std::vector<RemoteRow>& view, int depth)
{
    if (Stopped())
        return;
    RemoteRow own;
    own.name = path;
    own.type = "Directory";
    own.subItems = 2;
    own.image = 0;
    view.push_back(own);
    if (depth > kMaxWalkDepth) {
        Note("\"" + path + "\" is more than " + std::to_string(kMaxWalkDepth) + " folders deep; it is not walked.");
        return;
    }
    const std::string parent = m_server.CurrentFolder();
    if (!m_server.ChangeFolder(folder)) {
        // Listing the folder we are still in would walk the wrong tree.
        Note("\"" + path + "\" cannot be entered; it is skipped.");
        return;
    }
    std::vector<RemoteRow> hidden;
    m_server.ListFolder(hidden);
    const std::string here = m_server.CurrentFolder();
    if (std::find(m_walkDirs.begin(), m_walkDirs.end(), here) != m_walkDirs.end()) {
        Note("\"" + path + "\" leads back to \"" + here + "\"; it is skipped.");
    } else {
        m_walkDirs.push_back(here);
        for (const RemoteRow& row : hidden) {
            if (Stopped() || m_walkLost)
                return;
            const std::string name = CommandName(row);
            if (row.IsFolder() && name == "..")
                continue;
            if (!IsWalkableName(name)) {
                Note("\"" + path + "/" + name + "\" is not a usable name; it is skipped.");
                continue;
            }
            if (row.IsFolder()) {
                WalkFolder(path + "/" + name, name, view, depth + 1);
                continue;
            }
            view.push_back(WalkedFile(path + "/" + name, row));
        }
        m_walkDirs.pop_back();
    }
    if (Stopped() || m_walkLost)
        return;
    // The parent's rows are already in hand one level up: only where the
    // server now stands needs asking, not another listing.
    m_server.ChangeFolder("..");
    m_server.LearnFolder();
    if (m_server.CurrentFolder() == parent)
        return;
    // A link into another tree: its ".." is that tree's parent, where the
    // names still to walk would be other files.
    const std::string landed = m_server.CurrentFolder();
    m_server.ChangeFolder(parent);
    m_server.LearnFolder();
    if (m_server.CurrentFolder() == parent) {
        Note("\"..\" of \"" + path + "\" led to \"" + landed + "\"; the walk went back to \"" + parent + "\".");
        return;
    }
    m_walkLost = true;
    Note("The walk could not get back to \"" + parent + "\"; it stops here.");
}

// ---------------------------------------------------------------- the change-mode walk

void RemotePane::BeginModeWalk(const std::string& shown)
{
    // The walk's path starts at the folder shown: a link back to it is a loop.
    m_markDirs.assign(1, shown);
    m_markLost = false;
}

void RemotePane::MarkFiles(const std::string& name, bool folder, const std::string& mode)
{
    if (Stopped() || m_markLost)
        return;
    const bool walk = folder && IsWalkableName(name);
    // A folder changes after its contents, and only when the walk came back
    // from it to where it started: a relative name elsewhere is another file.
    bool changeOwn = !folder || IsWalkableName(name);
    if (walk && m_markDepth >= kMaxWalkDepth) {
        Note("\"" + name + "\" is more than " + std::to_string(kMaxWalkDepth) + " folders deep; it is not walked.");
    } else if (walk) {
        ++m_markDepth;
        const std::string parent = m_markDirs.empty() ? m_server.CurrentFolder() : m_markDirs.back();
        if (m_server.ChangeFolder(name)) {
            m_server.ListShownFolder();
            const std::string here = m_server.CurrentFolder();
            if (std::find(m_markDirs.begin(), m_markDirs.end(), here) != m_markDirs.end()) {
                // A link back to a folder of the path: its mode is that folder's.
                Note("\"" + name + "\" leads back to \"" + here + "\"; it is skipped.");
                changeOwn = false;
                ReturnToMarkFolder(parent);
            } else {
                m_markDirs.push_back(here);
                // Each nested walk lists this folder again, so rows are read afresh by index.
                for (int i = 0; i < Model().rowCount() && !m_markLost; ++i) {
                    const RemoteRow row = Model().Row(i);
                    const std::string child = CommandName(row);
                    if (child == "." || child == "..")
                        continue;
                    if (!IsWalkableName(child)) {
                        Note("\"" + child + "\" is not a usable name; it is skipped.");
                        continue;
                    }
                    MarkFiles(child, row.IsFolder(), mode);
                }
                m_markDirs.pop_back();
                if (!m_markLost) {
                    m_server.ChangeFolder("..");
                    m_server.ListShownFolder();
                    const std::string back = m_server.CurrentFolder();
                    if (back != parent) {
                        // A link into another tree: ".." is that tree's parent.
                        Note("\"..\" of \"" + here + "\" led to \"" + back + "\", not back to \"" + parent
                            + "\"; \"" + name + "\" keeps its mode.");
                        changeOwn = false;
                        ReturnToMarkFolder(parent);
                    }
                }
            }
        } else {
            Note("\"" + name + "\" cannot be entered; its contents keep their mode.");
        }
        --m_markDepth;
    }
    if (changeOwn && !m_markLost)
        m_server.ChangeMode(name, mode);
}

void RemotePane::ReturnToMarkFolder(const std::string& folder)
{
    m_server.ChangeFolder(folder);
    m_server.ListShownFolder();
    if (m_server.CurrentFolder() == folder)
        return;
    // Every name from here on would be looked up in the wrong folder.
    m_markLost = true;
    Note("The mode walk could not get back to \"" + folder + "\"; it stops here.");
}

} // namespace app
