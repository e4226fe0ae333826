#include "app/RemotePane.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Captions.hpp"
#include "app/core/Queue.hpp"
#include "app/dirview.hpp"
#include "ui/ImageList.hpp"

#include <QIcon>
#include <QMimeDatabase>

#include <algorithm>
#include <utility>

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

// ---------------------------------------------------------------- listings

void RemotePane::Learn(Next next)
{
    m_session->CurrentFolder([this, next](const SessionResult& r, const std::string& folder) {
        m_server.Learned(r.Ok ? folder : std::string());
        next();
    });
}

void RemotePane::ListRows(std::function<void(const SessionResult&, std::vector<RemoteRow>)> done)
{
    m_session->CurrentFolder([this, done](const SessionResult& asked, const std::string& folder) {
        if (asked.Refused)
            return done(asked, {});
        m_server.Learned(asked.Ok ? folder : std::string());
        m_session->List({}, [this, done](const SessionResult& r, std::vector<RemoteRow> rows) {
            for (RemoteRow& row : rows) {
                if (row.iconKey.empty())
                    continue;
                if (const int icon = IconIndex(row.iconKey); icon >= 0)
                    row.image = icon;
            }
            if (r.Unreadable > 0)
                Note(std::to_string(r.Unreadable) + " of " + std::to_string(r.Lines)
                    + " listing lines could not be read; they show only a name.");
            else if (rows.empty() && r.Lines > 0)
                Note("The listing could not be read (" + std::to_string(r.Lines) + " lines in an unknown format).");
            done(r, std::move(rows));
        });
    });
}

void RemotePane::ListShown(Done done)
{
    ListRows([this, done](const SessionResult& r, std::vector<RemoteRow> rows) {
        if (!r.Refused) {
            Model().SetRows(std::move(rows));
            m_server.Shown(r);
        }
        done(r);
    });
}

void RemotePane::EnterFolder(const std::string& folder, Done done)
{
    m_session->ChangeFolder(folder, [this, done](const SessionResult& r) {
        if (r.Refused)
            return done(r);
        // A folder that could not be entered: the listing shows where the server stays.
        ListShown(done);
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

bool RemotePane::MakeSelectedList(const std::string& base, std::vector<RemoteRow>& view, std::function<void()> done)
{
    if (Walking())
        return false;
    m_walking = true;
    m_walkLost = false;
    m_walkView = &view;
    m_walkDone = std::move(done);
    view.clear();
    // The rows as selected now: the walk lists into hidden rows, never the shown ones.
    auto selected = std::make_shared<std::vector<RemoteRow>>();
    for (int i = 0; i < Model().rowCount(); ++i)
        if (m_view->IsSelected(i))
            selected->push_back(Model().Row(i));
    WalkSelected(base, std::move(selected), 0);
    return true;
}

void RemotePane::WalkSelected(std::string base, std::shared_ptr<std::vector<RemoteRow>> selected, std::size_t i)
{
    for (; i < selected->size() && !Stopped() && !m_walkLost; ++i) {
        const RemoteRow& row = (*selected)[i];
        const std::string name = CommandName(row);
        if (!IsWalkableName(name)) {
            Note("\"" + name + "\" is not a usable name; it is skipped.");
            continue;
        }
        if (!row.IsFolder()) {
            m_walkView->push_back(WalkedFile(name, row));
            continue;
        }
        m_walkDirs.clear();
        WalkFolder(JoinRemote(base, name), name, 1,
            [this, base, selected, i] { WalkSelected(base, selected, i + 1); });
        return;
    }
    EndWalk();
}

void RemotePane::EndWalk()
{
    m_walking = false;
    m_walkView = nullptr;
    if (auto done = std::exchange(m_walkDone, {}))
        done();
}

void RemotePane::WalkFolder(const std::string& path, const std::string& folder, int depth, Next next)
{
    if (Stopped())
        return EndWalk();
    RemoteRow own;
    own.name = path;
    own.type = "Directory";
    own.subItems = 2;
    own.image = 0;
    m_walkView->push_back(own);
    if (depth > kMaxWalkDepth) {
        Note("\"" + path + "\" is more than " + std::to_string(kMaxWalkDepth) + " folders deep; it is not walked.");
        return next();
    }
    const std::string parent = Folder();
    m_session->ChangeFolder(folder, [this, path, parent, depth, next](const SessionResult& entered) {
        if (!entered.Ok) {
            // Listing the folder we are still in would walk the wrong tree.
            Note("\"" + path + "\" cannot be entered; it is skipped.");
            return next();
        }
        ListRows([this, path, parent, depth, next](const SessionResult&, std::vector<RemoteRow> rows) {
            const std::string here = Folder();
            if (std::find(m_walkDirs.begin(), m_walkDirs.end(), here) != m_walkDirs.end()) {
                Note("\"" + path + "\" leads back to \"" + here + "\"; it is skipped.");
                return WalkBack(path, parent, next);
            }
            m_walkDirs.push_back(here);
            WalkRows(path, std::make_shared<std::vector<RemoteRow>>(std::move(rows)), 0, depth,
                [this, path, parent, next] {
                    m_walkDirs.pop_back();
                    WalkBack(path, parent, next);
                });
        });
    });
}

void RemotePane::WalkRows(
    const std::string& path, std::shared_ptr<std::vector<RemoteRow>> rows, std::size_t i, int depth, Next next)
{
    for (; i < rows->size(); ++i) {
        // Stopped or lost: the walk ends where it is.
        if (Stopped() || m_walkLost)
            return EndWalk();
        const RemoteRow& row = (*rows)[i];
        const std::string name = CommandName(row);
        if (row.IsFolder() && name == "..")
            continue;
        if (!IsWalkableName(name)) {
            Note("\"" + path + "/" + name + "\" is not a usable name; it is skipped.");
            continue;
        }
        if (row.IsFolder()) {
            return WalkFolder(path + "/" + name, name, depth + 1,
                [this, path, rows, i, depth, next] { WalkRows(path, rows, i + 1, depth, next); });
        }
        m_walkView->push_back(WalkedFile(path + "/" + name, row));
    }
    next();
}

void RemotePane::WalkBack(const std::string& path, const std::string& parent, Next next)
{
    if (Stopped() || m_walkLost)
        return EndWalk();
    // The parent's rows are already in hand one level up: only where the
    // server now stands needs asking, not another listing.
    m_session->ChangeFolder("..", [this, path, parent, next](const SessionResult&) {
        Learn([this, path, parent, next] {
            if (Folder() == parent)
                return next();
            // A link into another tree: its ".." is that tree's parent, where the
            // names still to walk would be other files.
            const std::string landed = Folder();
            m_session->ChangeFolder(parent, [this, path, parent, landed, next](const SessionResult&) {
                Learn([this, path, parent, landed, next] {
                    if (Folder() == parent) {
                        Note("\"..\" of \"" + path + "\" led to \"" + landed + "\"; the walk went back to \""
                            + parent + "\".");
                        return next();
                    }
                    m_walkLost = true;
                    Note("The walk could not get back to \"" + parent + "\"; it stops here.");
                    EndWalk();
                });
            });
        });
    });
}

// ---------------------------------------------------------------- the change-mode walk

void RemotePane::BeginModeWalk(const std::string& shown)
{
    // The walk's path starts at the folder shown: a link back to it is a loop.
    m_markDirs.assign(1, shown);
    m_markLost = false;
    m_markDepth = 0;
    m_marking = true;
}

void RemotePane::MarkOwn(const std::string& name, const std::string& mode, bool change, Next next)
{
    if (!change || m_markLost)
        return next();
    m_session->ChangeMode(name, mode, [next](const SessionResult&) { next(); });
}

void RemotePane::MarkFiles(const std::string& name, bool folder, const std::string& mode, Next done)
{
    if (Stopped() || m_markLost)
        return done();
    const bool walk = folder && IsWalkableName(name);
    // A folder changes after its contents, and only when the walk came back
    // from it to where it started: a relative name elsewhere is another file.
    const bool changeOwn = !folder || IsWalkableName(name);
    if (walk && m_markDepth >= kMaxWalkDepth) {
        Note("\"" + name + "\" is more than " + std::to_string(kMaxWalkDepth) + " folders deep; it is not walked.");
        return MarkOwn(name, mode, changeOwn, done);
    }
    if (!walk)
        return MarkOwn(name, mode, changeOwn, done);
    ++m_markDepth;
    const std::string parent = m_markDirs.empty() ? Folder() : m_markDirs.back();
    // Back at this level: the folder's own mode, unless the walk found it is not this one.
    const auto own = [this, name, mode, done](bool change) {
        --m_markDepth;
        MarkOwn(name, mode, change, done);
    };
    m_session->ChangeFolder(name, [this, name, mode, parent, own](const SessionResult& entered) {
        if (!entered.Ok) {
            Note("\"" + name + "\" cannot be entered; its contents keep their mode.");
            return own(true);
        }
        ListShown([this, name, mode, parent, own](const SessionResult&) {
            Note("DIRECTORY LISTING IS FINISHED.");
            const std::string here = Folder();
            if (std::find(m_markDirs.begin(), m_markDirs.end(), here) != m_markDirs.end()) {
                // A link back to a folder of the path: its mode is that folder's.
                Note("\"" + name + "\" leads back to \"" + here + "\"; it is skipped.");
                return ReturnToMarkFolder(parent, [own] { own(false); });
            }
            m_markDirs.push_back(here);
            MarkRows(0, mode, [this, name, parent, here, own] {
                m_markDirs.pop_back();
                if (m_markLost)
                    return own(true);
                MarkBack(name, parent, here, [own] { own(true); }, [own] { own(false); });
            });
        });
    });
}

void RemotePane::MarkRows(int i, const std::string& mode, Next next)
{
    // Each nested walk lists this folder again, so rows are read afresh by index.
    for (; i < Model().rowCount() && !m_markLost; ++i) {
        const RemoteRow row = Model().Row(i);
        const std::string child = CommandName(row);
        if (child == "." || child == "..")
            continue;
        if (!IsWalkableName(child)) {
            Note("\"" + child + "\" is not a usable name; it is skipped.");
            continue;
        }
        return MarkFiles(child, row.IsFolder(), mode, [this, i, mode, next] { MarkRows(i + 1, mode, next); });
    }
    next();
}

void RemotePane::MarkBack(
    const std::string& name, const std::string& parent, const std::string& here, Next own, Next kept)
{
    m_session->ChangeFolder("..", [this, name, parent, here, own, kept](const SessionResult&) {
        ListShown([this, name, parent, here, own, kept](const SessionResult&) {
            Note("DIRECTORY LISTING IS FINISHED.");
            const std::string back = Folder();
            if (back == parent)
                return own();
            // A link into another tree: ".." is that tree's parent.
            Note("\"..\" of \"" + here + "\" led to \"" + back + "\", not back to \"" + parent + "\"; \"" + name
                + "\" keeps its mode.");
            ReturnToMarkFolder(parent, kept);
        });
    });
}

void RemotePane::ReturnToMarkFolder(const std::string& folder, Next next)
{
    m_session->ChangeFolder(folder, [this, folder, next](const SessionResult&) {
        ListShown([this, folder, next](const SessionResult&) {
            Note("DIRECTORY LISTING IS FINISHED.");
            if (Folder() != folder) {
                // Every name from here on would be looked up in the wrong folder.
                m_markLost = true;
                Note("The mode walk could not get back to \"" + folder + "\"; it stops here.");
            }
            next();
        });
    });
}

} // namespace app
