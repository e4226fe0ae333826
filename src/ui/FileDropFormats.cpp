#include "ui/FileDropFormats.hpp"

#include <QUrl>

namespace ui {
namespace {

QByteArray EncodedUrl(const QString& path)
{
    return QUrl::fromLocalFile(path).toEncoded();
}

// Lines without their CR, empty ones dropped.
QList<QByteArray> Lines(const QByteArray& bytes)
{
    QList<QByteArray> lines;
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

// The local path of a file URL on this machine; empty for anything else.
QString LocalPath(const QByteArray& encoded)
{
    const QUrl url = QUrl::fromEncoded(encoded.trimmed());
    if (!url.isValid() || url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) != 0)
        return {};
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        return {};
    const QString path = url.path(QUrl::FullyDecoded);
    return path.startsWith(u'/') ? path : QString();
}

QStringList PathsFromUrls(const QList<QByteArray>& lines)
{
    QStringList paths;
    for (const QByteArray& line : lines) {
        if (line.startsWith('#')) // comment lines are allowed in a URI list
            continue;
        const QString path = LocalPath(line);
        if (!path.isEmpty())
            paths << path;
    }
    return paths;
}

// Plain text counts as a file list only when every line is one, so a pasted
// web address or sentence stays text.
QStringList PathsFromText(const QString& text)
{
    QStringList paths;
    for (QString line : text.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        QString path;
        if (line.startsWith(u'/'))
            path = line;
        else if (line.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
            path = LocalPath(line.toUtf8());
        if (path.isEmpty())
            return {};
        paths << path;
    }
    return paths;
}

} // namespace

void WriteFileList(QMimeData& data, const QStringList& paths, bool move)
{
    QByteArray uriList;
    QByteArray gnome = move ? "cut" : "copy";
    for (const QString& path : paths) {
        const QByteArray url = EncodedUrl(path);
        uriList += url + "\r\n";
        gnome += '\n' + url;
    }
    data.setData(QString::fromLatin1(kUriListMime), uriList);
    data.setData(QString::fromLatin1(kGnomeCopiedFilesMime), gnome);
    data.setData(QString::fromLatin1(kKdeCutSelectionMime), move ? "1" : "0");
    data.setText(paths.join(u'\n'));
}

QStringList ReadFileList(const QMimeData& data, bool* move)
{
    const QByteArray gnome = data.data(QString::fromLatin1(kGnomeCopiedFilesMime));
    QList<QByteArray> gnomeLines = Lines(gnome);
    const bool gnomeCut = !gnomeLines.isEmpty() && gnomeLines.front().trimmed() == "cut";
    if (!gnomeLines.isEmpty())
        gnomeLines.removeFirst(); // "copy" or "cut"
    const bool kdeCut = data.data(QString::fromLatin1(kKdeCutSelectionMime)).trimmed() == "1";
    if (move)
        *move = gnomeCut || kdeCut;

    if (data.hasFormat(QString::fromLatin1(kUriListMime)))
        return PathsFromUrls(Lines(data.data(QString::fromLatin1(kUriListMime))));
    if (!gnomeLines.isEmpty())
        return PathsFromUrls(gnomeLines);
    if (data.hasText())
        return PathsFromText(data.text());
    return {};
}

} // namespace ui
