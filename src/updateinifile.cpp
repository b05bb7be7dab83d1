#include "updateinifile.h"

#include "pathconfinement.h"
#include "regularfile.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const QByteArray utf8Bom("\xef\xbb\xbf");
// update.ini holds a few settings; anything near this is no settings file of ours.
const qint64 maxFileSize = 1 << 20;
const char *const recordKeys[] = {"version", "dir", "qvxdir", "type"};

// The two classes of characters QSettings' INI reader tells apart.
bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
}

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

struct LogicalLine
{
    int start = 0;
    int length = 0;
    int equals = -1;
};

// The next line as QSettings reads it from pos on: comments and blank lines are skipped, a
// quoted part or an escaped line end carries it over line ends, and a ';' outside quotes ends
// it. False at the end of data.
bool nextLogicalLine(const QByteArray &data, int *pos, LogicalLine *line)
{
    const int size = data.size();
    bool inQuotes = false;
    int equals = -1;
    int start = *pos;
    while (start < size && isSpace(data.at(start)))
        ++start;
    int i = start;
    while (i < size) {
        const char ch = data.at(i++);
        if (!isSpecial(ch))
            continue;
        if (ch == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (isLineEnd(ch)) {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char escaped = data.at(i++);
                if (i < size) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (i == start + 1) { // ';' opening a comment
            while (i < size && !isLineEnd(data.at(i)))
                ++i;
            while (i < size && isSpace(data.at(i)))
                ++i;
            start = i;
        } else if (!inQuotes) {
            --i;
            break;
        }
    }
    *pos = i;
    line->start = start;
    line->length = i - start;
    line->equals = equals;
    return line->length > 0;
}

// A key or section name as QSettings decodes it: '\' is '/', %XX and %UXXXX are characters.
QString unescapedKey(const QByteArray &key, int from, int to)
{
    QString result;
    int i = from;
    while (i < to) {
        int ch = uchar(key.at(i));
        if (ch == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != '%' || i == to - 1) {
            result += QChar(ushort(ch));
            ++i;
            continue;
        }
        int digits = 2;
        int firstDigit = i + 1;
        if (key.at(i + 1) == 'U') {
            ++firstDigit;
            digits = 4;
        }
        bool ok = false;
        if (firstDigit + digits <= to)
            ch = key.mid(firstDigit, digits).toInt(&ok, 16);
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(ushort(ch & 0xffff));
        i = firstDigit + digits;
    }
    return result;
}

enum class Kind { Filler, Header, Entry, Other };

// A run of whole lines of the file: blank lines and comments (Filler), or the lines of one
// logical line with what follows it on its last line.
struct Segment
{
    int begin = 0;
    int end = 0;
    Kind kind = Kind::Filler;
    // The section a header opens, or the one an entry lies in; general: the top level.
    bool general = true;
    QString section;
    // Entries: the key QSettings files the value under ("group/key").
    QString key;
    // The first key, which QSettings reads with the BOM in front of its name.
    bool joinsBom = false;
};

int physicalLineBegin(const QByteArray &data, int pos, int floor)
{
    while (pos > floor && !isLineEnd(data.at(pos - 1)))
        --pos;
    return pos;
}

// Just after the line end of the line that holds the byte at last.
int physicalLineEnd(const QByteArray &data, int last)
{
    int i = last;
    while (i < data.size() && !isLineEnd(data.at(i)))
        ++i;
    if (i == data.size())
        return i;
    if (data.at(i) == '\r' && i + 1 < data.size() && data.at(i + 1) == '\n')
        return i + 2;
    return i + 1;
}

struct Parsed
{
    QByteArray bom;
    QVector<Segment> segments;
};

Parsed parse(const QByteArray &data)
{
    Parsed parsed;
    const int bodyStart = data.startsWith(utf8Bom) ? utf8Bom.size() : 0;
    parsed.bom = data.left(bodyStart);
    int covered = bodyStart;
    int pos = bodyStart;
    bool general = true;
    QString section;
    bool first = true;
    LogicalLine line;
    while (nextLogicalLine(data, &pos, &line)) {
        Segment segment;
        segment.begin = physicalLineBegin(data, line.start, covered);
        segment.end = physicalLineEnd(data, line.start + line.length - 1);
        if (segment.begin > covered) {
            Segment filler;
            filler.begin = covered;
            filler.end = segment.begin;
            parsed.segments.append(filler);
        }
        if (data.at(line.start) == '[') {
            // Only this line is searched: a search to the end of the data for every '[' line
            // would make a file of such lines take quadratic time.
            const char *begin = data.constData() + line.start;
            const void *close = std::memchr(begin, ']', size_t(line.length));
            QByteArray name = close
                ? data.mid(line.start + 1, int(static_cast<const char *>(close) - begin) - 1)
                : data.mid(line.start + 1, line.length - 1);
            name = name.trimmed();
            general = name.compare("general", Qt::CaseInsensitive) == 0;
            if (general)
                section.clear();
            else if (name.compare("%general", Qt::CaseInsensitive) == 0)
                section = QString::fromLatin1(name.mid(1));
            else
                section = unescapedKey(name, 0, name.size());
            segment.kind = Kind::Header;
        } else if (line.equals < 0) {
            segment.kind = Kind::Other;
        } else {
            segment.kind = Kind::Entry;
            int keyEnd = line.equals;
            // QSettings reads the top level from the file's first byte on, so a BOM with
            // nothing but blanks after it becomes part of the first key.
            int keyStart = line.start;
            if (first && general && bodyStart > 0) {
                const QByteArray gap = data.mid(bodyStart, line.start - bodyStart);
                if (gap.count(' ') + gap.count('\t') == gap.size()) {
                    keyStart = 0;
                    segment.joinsBom = true;
                }
            }
            while (keyEnd > keyStart && (data.at(keyEnd - 1) == ' ' || data.at(keyEnd - 1) == '\t'))
                --keyEnd;
            segment.key = (general ? QString() : section + QLatin1Char('/'))
                + unescapedKey(data, keyStart, keyEnd);
        }
        first = false;
        segment.general = general;
        segment.section = section;
        parsed.segments.append(segment);
        covered = segment.end;
    }
    if (covered < data.size()) {
        Segment filler;
        filler.begin = covered;
        filler.end = data.size();
        parsed.segments.append(filler);
    }
    return parsed;
}

bool isRecordKey(const QString &key)
{
    for (const char *name : recordKeys)
        if (key == QLatin1String("current/") + QLatin1String(name))
            return true;
    return false;
}

bool isRecordSection(const Segment &segment)
{
    return !segment.general && segment.section == QLatin1String("current");
}

// A record key set anywhere would override or shadow ours, whichever section QSettings reads
// last; so it is part of the record. Other keys of the group are the user's.
bool isRecordEntry(const Segment &segment)
{
    return segment.kind == Kind::Entry && isRecordKey(segment.key);
}

// For each header of the record's group: it holds record keys and nothing else of the user's
// but blank lines and comments. Such a header goes with the record.
QVector<bool> recordOnlyHeaders(const QVector<Segment> &segments)
{
    QVector<bool> result(segments.size(), false);
    int header = -1;
    bool record = false;
    bool other = false;
    const auto close = [&] {
        if (header >= 0)
            result[header] = record && !other;
    };
    for (int i = 0; i < segments.size(); ++i) {
        const Segment &segment = segments.at(i);
        if (segment.kind == Kind::Header) {
            close();
            header = isRecordSection(segment) ? i : -1;
            record = other = false;
        } else if (isRecordEntry(segment)) {
            record = true;
        } else if (segment.kind != Kind::Filler) {
            other = true;
        }
    }
    close();
    return result;
}

// The groups step two reads from its own copy.
bool isSettingsName(const QString &name)
{
    return name == QLatin1String("update") || name == QLatin1String("Channel")
        || name.startsWith(QLatin1String("update/")) || name.startsWith(QLatin1String("Channel/"));
}

QByteArray bytesOf(const QByteArray &data, const Segment &segment)
{
    return data.mid(segment.begin, segment.end - segment.begin);
}

// The file's own line end, for the lines added to it.
QByteArray lineEndOf(const QByteArray &text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == '\n')
            return "\n";
        if (text.at(i) == '\r')
            return i + 1 < text.size() && text.at(i + 1) == '\n' ? "\r\n" : "\r";
    }
    return "\n";
}

bool endsWithLineEnd(const QByteArray &text)
{
    return !text.isEmpty() && isLineEnd(text.at(text.size() - 1));
}

void endLine(QByteArray *text, int floor, const QByteArray &lineEnd)
{
    if (text->size() > floor && !endsWithLineEnd(*text))
        *text += lineEnd;
}

// The length of the line end just before pos; 0 when there is none.
int lineEndBefore(const QByteArray &text, int pos)
{
    if (pos >= 2 && text.at(pos - 2) == '\r' && text.at(pos - 1) == '\n')
        return 2;
    return pos >= 1 && isLineEnd(text.at(pos - 1)) ? 1 : 0;
}

// True when QSettings reads the record keys of text from the lines at [at, at + length) and
// from nowhere else.
bool recordIsReadFrom(const QByteArray &text, int at, int length)
{
    QStringList found;
    for (const Segment &segment : parse(text).segments) {
        const bool inside = segment.begin >= at && segment.end <= at + length;
        const bool record = isRecordEntry(segment);
        if (record != inside || (inside && found.contains(segment.key)))
            return false;
        if (record)
            found << segment.key;
    }
    return found.size() == int(sizeof(recordKeys) / sizeof(recordKeys[0]));
}

// Where a record put in front goes: just after the BOM, or after the first key's line when
// QSettings reads the BOM as part of that key's name, so that the name stays as it is read.
int frontOf(const Parsed &parsed)
{
    if (!parsed.segments.isEmpty() && parsed.segments.first().joinsBom)
        return parsed.segments.first().end;
    return parsed.bom.size();
}

bool isLineOf(const QByteArray &bytes, const QByteArray &content)
{
    return bytes.startsWith(content)
        && (bytes.size() == content.size() || bytes.mid(content.size()) == "\n"
            || bytes.mid(content.size()) == "\r" || bytes.mid(content.size()) == "\r\n");
}

// A header and the record's entries just as a record write adds them, from segments[from] on.
bool isAddedRecordAt(const QByteArray &text, const QVector<Segment> &segments, int from)
{
    if (from < 0 || from + 4 >= segments.size()
        || !isLineOf(bytesOf(text, segments.at(from)), "[current]"))
        return false;
    const char *const order[] = {"dir", "qvxdir", "type", "version"};
    for (int i = 0; i < 4; ++i) {
        const Segment &entry = segments.at(from + 1 + i);
        if (!isRecordEntry(entry)
            || entry.key != QLatin1String("current/") + QLatin1String(order[i])
            || !text.mid(entry.begin).startsWith(QByteArray(order[i]) + '='))
            return false;
    }
    return true;
}

// text without the lines a record write added: the record in front, or the record at the end
// together with the line end added before it (its last line then has none).
QByteArray withoutAddedRecord(const QByteArray &text, bool *changed)
{
    const Parsed parsed = parse(text);
    const QVector<Segment> &segments = parsed.segments;
    const int front = frontOf(parsed);
    int first = 0;
    while (first < segments.size() && segments.at(first).begin < front)
        ++first;
    if (first < segments.size() && segments.at(first).begin == front
        && isAddedRecordAt(text, segments, first) && first + 5 < segments.size()
        && isLineOf(bytesOf(text, segments.at(first + 5)), "[General]")) {
        *changed = true;
        return text.left(front) + text.mid(segments.at(first + 5).end);
    }
    const int last = segments.size() - 5;
    if (isAddedRecordAt(text, segments, last) && segments.constLast().end == text.size()) {
        int begin = segments.at(last).begin;
        if (!endsWithLineEnd(text))
            begin -= lineEndBefore(text, begin);
        *changed = true;
        return text.left(begin);
    }
    *changed = false;
    return text;
}

// text without record entries, and without the headers that held only those.
QByteArray withoutRecordEntries(const QByteArray &text, bool *changed)
{
    const Parsed parsed = parse(text);
    const QVector<bool> recordOnly = recordOnlyHeaders(parsed.segments);
    QByteArray out = parsed.bom;
    for (int i = 0; i < parsed.segments.size(); ++i) {
        const Segment &segment = parsed.segments.at(i);
        if (isRecordEntry(segment) || recordOnly.at(i))
            *changed = true;
        else
            out += bytesOf(text, segment);
    }
    return out;
}

// text, which holds no record, with record added where QSettings reads it: at the end, or in
// front for a file whose end QSettings reads as part of an open value. The drop takes exactly
// these lines away again: a file that did not end with a line end gets one before the record
// and none after it.
bool addRecord(const QByteArray &text, const QByteArray &lineEnd,
               const UpdateIniFile::Record &record, QByteArray *result)
{
    const Parsed parsed = parse(text);
    const QByteArray lines = UpdateIniFile::recordLines(record, lineEnd);
    QByteArray out = text;
    QByteArray atEnd = lines;
    if (text.size() > parsed.bom.size() && !endsWithLineEnd(text)) {
        out += lineEnd;
        atEnd.chop(lineEnd.size());
    }
    out += "[current]" + lineEnd;
    int at = out.size();
    out += atEnd;
    if (recordIsReadFrom(out, at, atEnd.size())) {
        *result = out;
        return true;
    }
    const int front = frontOf(parsed);
    if (front > parsed.bom.size() && !isLineEnd(text.at(front - 1)))
        return false;
    out = text.left(front) + "[current]" + lineEnd;
    at = out.size();
    out += lines + "[General]" + lineEnd + text.mid(front);
    if (!recordIsReadFrom(out, at, lines.size()))
        return false;
    *result = out;
    return true;
}

} // namespace

namespace UpdateIniFile {

QByteArray escapedValue(const QString &value)
{
    QString text = value;
    if (text.contains(QChar(0)))
        text = QStringLiteral("@String(") + text + QLatin1Char(')');
    else if (text.startsWith(QLatin1Char('@')))
        text.prepend(QLatin1Char('@'));

    QByteArray result;
    bool needsQuotes = false;
    // After a \x escape a hex digit would be read as part of it.
    bool escapeNextIfHexDigit = false;
    for (const QChar c : qAsConst(text)) {
        const ushort ch = c.unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        if (escapeNextIfHexDigit
            && ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F'))) {
            result += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfHexDigit = false;
        switch (ch) {
        case '\0':
            result += "\\0";
            escapeNextIfHexDigit = true;
            break;
        case '\a':
            result += "\\a";
            break;
        case '\b':
            result += "\\b";
            break;
        case '\f':
            result += "\\f";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\v':
            result += "\\v";
            break;
        case '"':
        case '\\':
            result += '\\';
            result += char(ch);
            break;
        default:
            if (ch <= 0x1f || ch >= 0x7f) {
                result += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfHexDigit = true;
            } else {
                result += char(ch);
            }
        }
    }
    if (needsQuotes || (!result.isEmpty() && (result.startsWith(' ') || result.endsWith(' '))))
        result = '"' + result + '"';
    return result;
}

QByteArray recordLines(const Record &record, const QByteArray &lineEnd)
{
    return "dir=" + escapedValue(record.dir) + lineEnd + "qvxdir=" + escapedValue(record.qvxdir)
        + lineEnd + "type=" + escapedValue(record.type) + lineEnd
        + "version=" + escapedValue(QString::number(record.version)) + lineEnd;
}

bool withRecord(const QByteArray &text, const Record &record, QByteArray *result)
{
    const QByteArray lineEnd = lineEndOf(text);
    bool changed = false;
    const QByteArray base = withoutAddedRecord(text, &changed);
    const Parsed parsed = parse(base);
    const QVector<bool> recordOnly = recordOnlyHeaders(parsed.segments);
    // A record left in a group of its own (by an earlier writer, or by hand) is replaced where
    // it stands, in the first group that holds record keys.
    int place = -1;
    for (int i = 0; i < parsed.segments.size() && place < 0; ++i) {
        const Segment &segment = parsed.segments.at(i);
        if (segment.kind != Kind::Header || !isRecordSection(segment))
            continue;
        for (int j = i + 1; j < parsed.segments.size(); ++j) {
            if (parsed.segments.at(j).kind == Kind::Header)
                break;
            if (isRecordEntry(parsed.segments.at(j))) {
                place = i;
                break;
            }
        }
    }
    if (place >= 0) {
        const QByteArray lines = recordLines(record, lineEnd);
        QByteArray out = parsed.bom;
        int at = -1;
        for (int i = 0; i < parsed.segments.size(); ++i) {
            const Segment &segment = parsed.segments.at(i);
            if (i == place) {
                out += bytesOf(base, segment);
                endLine(&out, 0, lineEnd);
                at = out.size();
                out += lines;
            } else if (!isRecordEntry(segment) && !recordOnly.at(i)) {
                out += bytesOf(base, segment);
            }
        }
        if (recordIsReadFrom(out, at, lines.size())) {
            *result = out;
            return true;
        }
    }
    return addRecord(withoutRecordEntries(base, &changed), lineEnd, record, result);
}

QByteArray withoutRecord(const QByteArray &text, bool *changed)
{
    bool added = false;
    bool entries = false;
    const QByteArray out = withoutRecordEntries(withoutAddedRecord(text, &added), &entries);
    *changed = added || entries;
    return out;
}

bool stagedCopy(const QByteArray &source, const Record &record, QByteArray *result)
{
    const Parsed parsed = parse(source);
    const QByteArray lineEnd = lineEndOf(source);
    QByteArray out = parsed.bom;
    // Keys of these groups written at the top level stay at the top level, ahead of any group.
    // Right after the BOM the first of them would be read with the BOM in its name.
    bool top = false;
    for (const Segment &segment : parsed.segments) {
        if (segment.kind == Kind::Entry && segment.general && isSettingsName(segment.key)) {
            if (!top && !parsed.bom.isEmpty())
                out += lineEnd;
            top = true;
            out += bytesOf(source, segment);
            endLine(&out, parsed.bom.size(), lineEnd);
        }
    }
    bool copying = false;
    for (const Segment &segment : parsed.segments) {
        if (segment.kind == Kind::Header)
            copying = !segment.general && isSettingsName(segment.section);
        if (copying)
            out += bytesOf(source, segment);
    }
    return addRecord(out, lineEnd, record, result);
}

bool isBlank(const QByteArray &text)
{
    const int start = text.startsWith(utf8Bom) ? utf8Bom.size() : 0;
    for (int i = start; i < text.size(); ++i)
        if (!isSpace(text.at(i)))
            return false;
    return true;
}

} // namespace UpdateIniFile

namespace {

void setReason(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
}

// The file a change at path writes, and what it holds now.
struct Target
{
    bool exists = false;
    bool viaLink = false;
    QString destination;
    QByteArray bytes;
    struct stat info;
};

// What lies at a path instead of a regular file; for a folder the system's own words, as a
// write would have given them.
QString notRegularText(mode_t mode)
{
    return S_ISDIR(mode) ? systemErrorText(EISDIR) : nonRegularFileText(mode);
}

// The folder the bundle's own links may lead into: the one that holds the folder of path (the
// client folder for the shared-support folder's update.ini, the session folder for its copy).
QString bundleOf(const QString &path)
{
    return QFileInfo(path).absolutePath() + QStringLiteral("/..");
}

QString linkText(const QString &destination)
{
    return QStringLiteral("it is a symbolic link to '%1'").arg(destination);
}

bool inspect(const QString &path, Target *target, QString *why)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat own;
    if (::lstat(name.constData(), &own) != 0) {
        if (errno != ENOENT) {
            *why = systemErrorText(errno);
            return false;
        }
        target->destination = path;
        return true;
    }
    target->destination = path;
    if (S_ISLNK(own.st_mode)) {
        const QString bundle = bundleOf(path);
        const QString resolved = PathConfinement::resolvedLocation(path, true);
        if (resolved.isEmpty()) {
            *why = QStringLiteral("it is a symbolic link that cannot be followed");
            return false;
        }
        if (!PathConfinement::staysInside(bundle, path, true)) {
            *why = linkText(resolved)
                + QStringLiteral(", outside '%1'")
                      .arg(PathConfinement::resolvedLocation(bundle, true));
            return false;
        }
        struct stat linked;
        if (::lstat(QFile::encodeName(resolved).constData(), &linked) != 0) {
            const int error = errno;
            *why = linkText(resolved) + QStringLiteral(": ") + systemErrorText(error);
            return false;
        }
        if (!S_ISREG(linked.st_mode)) {
            *why = linkText(resolved) + QStringLiteral(": ") + notRegularText(linked.st_mode);
            return false;
        }
        target->destination = resolved;
        target->viaLink = true;
    } else if (!S_ISREG(own.st_mode)) {
        // Not opened at all: a FIFO would block, a device would be read.
        *why = notRegularText(own.st_mode);
        return false;
    }
    if (!readRegularFile(target->destination, maxFileSize, &target->bytes, why, O_NOFOLLOW,
                         &target->info))
        return false;
    // Replacing it through its folder would not ask the file: ask it first.
    const int fd = ::open(QFile::encodeName(target->destination).constData(),
                          O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = systemErrorText(errno);
        return false;
    }
    struct stat opened;
    const bool same = ::fstat(fd, &opened) == 0 && opened.st_dev == target->info.st_dev
        && opened.st_ino == target->info.st_ino;
    ::close(fd);
    if (!same) {
        *why = QStringLiteral("the file was replaced while it was read");
        return false;
    }
    target->exists = true;
    return true;
}

// The folder's entry for the renamed or removed file is on disk too once this returns; best
// effort.
void syncFolder(const QString &folder)
{
    const int fd
        = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// QSettings keeps what it read of a file and reads it again only when its size or time has
// changed; so each reading gets a time of its own.
bool readThroughQSettings(const QString &path, const QString &folder, const QByteArray &bytes,
                          UpdateIniFile::Reading *reading, QString *why)
{
    *reading = UpdateIniFile::Reading();
    if (bytes.isEmpty())
        return true;
    // As QSettings did, a missing folder is made.
    QDir().mkpath(folder);
    const int fd = createFileExclusively(path);
    if (fd < 0) {
        const int error = errno;
        *why = systemErrorText(error);
        return false;
    }
    static std::atomic<long> readings {0};
    struct timespec times[2];
    times[0].tv_sec = time_t(++readings);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    bool ok = writeAll(fd, bytes.constData(), bytes.size()) && ::futimens(fd, times) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok && errno != EINTR) {
        error = errno;
        ok = false;
    }
    if (ok) {
        reading->versionRead = UpdateIniFile::readRecord(path, &reading->record);
        QSettings settings(path, QSettings::IniFormat);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys)
            reading->values.insert(key, settings.value(key));
    }
    ::unlink(QFile::encodeName(path).constData());
    if (!ok)
        *why = systemErrorText(error);
    return ok;
}

QMap<QString, QVariant> withoutRecordKeys(QMap<QString, QVariant> values)
{
    for (const char *name : recordKeys)
        values.remove(QLatin1String("current/") + QLatin1String(name));
    return values;
}

// The first key under prefix whose value differs between the two readings; null when none.
QString firstDifference(const QMap<QString, QVariant> &was, const QMap<QString, QVariant> &is,
                        const QString &prefix)
{
    for (const QMap<QString, QVariant> *values : {&was, &is}) {
        for (auto it = values->constBegin(); it != values->constEnd(); ++it) {
            if (!it.key().startsWith(prefix))
                continue;
            if (!was.contains(it.key()) || !is.contains(it.key())
                || was.value(it.key()) != is.value(it.key()))
                return it.key();
        }
    }
    return QString();
}

// The record as the updater would read it from bytes, equal to record; else why names the
// first value read otherwise, and the group that hides the record when there is one.
bool recordReadsAsWritten(const QByteArray &bytes, const UpdateIniFile::Reading &reading,
                          const UpdateIniFile::Record &record, QString *why)
{
    const UpdateIniFile::Record &read = reading.record;
    const QString wrong = !reading.versionRead || read.version != record.version
        ? QStringLiteral("version")
        : read.dir != record.dir       ? QStringLiteral("dir")
        : read.qvxdir != record.qvxdir ? QStringLiteral("qvxdir")
        : read.type != record.type     ? QStringLiteral("type")
                                       : QString();
    if (wrong.isNull())
        return true;
    // QSettings looks a key up in the last group whose name sorts before it; a group below
    // "current" can be that one.
    for (const Segment &segment : parse(bytes).segments) {
        if (segment.kind == Kind::Header && !segment.general
            && segment.section.startsWith(QLatin1String("current/"))) {
            *why = QStringLiteral("the group \"%1\" keeps QSettings from reading the record's "
                                  "\"%2\"")
                       .arg(segment.section, wrong);
            return false;
        }
    }
    *why = QStringLiteral("QSettings would not read the record's \"%1\" as written").arg(wrong);
    return false;
}

} // namespace

namespace UpdateIniFile {

mode_t currentUmask()
{
#ifdef __linux__
    QByteArray status;
    if (readRegularFile(QStringLiteral("/proc/self/status"), 1 << 16, &status)) {
        for (const QByteArray &line : status.split('\n')) {
            if (!line.startsWith("Umask:"))
                continue;
            bool ok = false;
            const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
            if (ok)
                return mode_t(mask & 0777);
        }
    }
#endif
    // macOS (and a Linux without /proc) can only tell it by setting it; the pair leaves it as
    // it was, though another thread creating a file in between would get 077.
    const mode_t mask = ::umask(077);
    ::umask(mask);
    return mask;
}

bool read(const QString &path, QByteArray *bytes, QString *why)
{
    return readRegularFile(path, maxFileSize, bytes, why);
}

bool readRecord(const QString &path, Record *record)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool versionRead = false;
    record->version = settings.value(QStringLiteral("version")).toInt(&versionRead);
    record->dir = settings.value(QStringLiteral("dir")).toString();
    record->qvxdir = settings.value(QStringLiteral("qvxdir")).toString();
    record->type = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();
    return versionRead;
}

bool readsAsRecordWritten(const QByteArray &before, const QByteArray &after, const Record &record,
                          const Reader &read, QString *why)
{
    Reading was;
    Reading is;
    if (!read(before, &was, why) || !read(after, &is, why))
        return false;
    if (!recordReadsAsWritten(after, is, record, why))
        return false;
    const QString changed
        = firstDifference(withoutRecordKeys(was.values), withoutRecordKeys(is.values), QString());
    if (!changed.isNull()) {
        *why
            = QStringLiteral("the record would change what QSettings reads as \"%1\"").arg(changed);
        return false;
    }
    return true;
}

bool readsWithoutRecord(const QByteArray &after, const Reader &read, QString *why)
{
    Reading is;
    if (!read(after, &is, why))
        return false;
    const QString left = is.versionRead ? QStringLiteral("version")
        : !is.record.dir.isEmpty()      ? QStringLiteral("dir")
        : !is.record.qvxdir.isEmpty()   ? QStringLiteral("qvxdir")
        : !is.record.type.isEmpty()     ? QStringLiteral("type")
                                        : QString();
    if (left.isNull())
        return true;
    *why = QStringLiteral("QSettings would still read the record's \"%1\"").arg(left);
    return false;
}

bool readsAsStagedCopy(const QByteArray &source, const QByteArray &copy, const Record &record,
                       const Reader &read, QString *why)
{
    Reading was;
    Reading is;
    if (!read(source, &was, why) || !read(copy, &is, why))
        return false;
    if (!recordReadsAsWritten(copy, is, record, why))
        return false;
    const QString lost = firstDifference(was.values, is.values, QStringLiteral("update/"));
    const QString lostChannel = firstDifference(was.values, is.values, QStringLiteral("Channel/"));
    if (lost.isNull() && lostChannel.isNull())
        return true;
    *why = QStringLiteral("the copy would not carry \"%1\" as QSettings reads it")
               .arg(lost.isNull() ? lostChannel : lost);
    return false;
}

bool change(const QString &path, const Edit &edit, const Check &check, bool removeWhenBlank,
            QString *reason)
{
    Target target;
    QString why;
    if (!inspect(path, &target, &why)) {
        setReason(reason, why);
        return false;
    }
    QByteArray after;
    if (!edit(target.bytes, &after, &why)) {
        setReason(reason, why);
        return false;
    }
    if (target.exists && after == target.bytes)
        return true;
    const QByteArray destination = QFile::encodeName(target.destination);
    const QString folder = QFileInfo(target.destination).absolutePath();
    if (removeWhenBlank && isBlank(after)) {
        if (!target.exists)
            return true;
        // A link is left leading to a file.
        if (!target.viaLink) {
            if (::unlink(destination.constData()) != 0) {
                const int error = errno;
                setReason(reason, systemErrorText(error));
                return false;
            }
            syncFolder(folder);
            return true;
        }
    }
    // The updater refuses to read a larger file, so the record could never be dropped again.
    if (after.size() > maxFileSize) {
        setReason(reason,
                  QStringLiteral("the file would be larger than %1 bytes").arg(maxFileSize));
        return false;
    }
    const QString readingPath = scratchPathFor(target.destination);
    const Reader read
        = [&readingPath, &folder](const QByteArray &bytes, Reading *reading, QString *whyNot) {
              return readThroughQSettings(readingPath, folder, bytes, reading, whyNot);
          };
    if (!check(target.bytes, after, read, &why)) {
        setReason(reason, why);
        return false;
    }
    // As QSettings did, a missing folder is made.
    if (!target.exists)
        QDir().mkpath(folder);
    const ScratchFiller write = [&after](int fd, QString *whyNot) {
        return writeIntoScratch(after, fd, whyNot);
    };
    if (!writeFileThroughScratch(target.destination, write, &why, mode_t(0666) & ~currentUmask())) {
        setReason(reason,
                  why.isEmpty() ? QStringLiteral("the file was not written completely") : why);
        return false;
    }
    syncFolder(folder);
    return true;
}

void removeLeftoverScratch(const QString &path)
{
    QStringList leftovers {path + QStringLiteral("_part_")};
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode)
        && PathConfinement::staysInside(bundleOf(path), path, true)) {
        const QString resolved = PathConfinement::resolvedLocation(path, true);
        if (!resolved.isEmpty())
            leftovers << resolved + QStringLiteral("_part_");
    }
    for (const QString &leftover : qAsConst(leftovers)) {
        const QByteArray name = QFile::encodeName(leftover);
        if (::lstat(name.constData(), &info) != 0 || S_ISDIR(info.st_mode))
            continue;
        qDebug() << "Removing leftover" << leftover;
        ::unlink(name.constData());
    }
}

} // namespace UpdateIniFile
