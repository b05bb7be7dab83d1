// update.ini is the user's file as well: the record's group "current" is changed in its bytes,
// and every other line stays as the user wrote it. Reading keeps going through QSettings, so
// what is recognised here as a section, an entry or a key is what QSettings makes of the bytes.
#ifndef UPDATEINIFILE_H
#define UPDATEINIFILE_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>

#include <functional>

#include <sys/types.h>

namespace UpdateIniFile {

struct Record
{
    int version = 0;
    QString dir;
    QString qvxdir;
    QString type;
};

inline bool operator==(const Record &a, const Record &b)
{
    return a.version == b.version && a.dir == b.dir && a.qvxdir == b.qvxdir && a.type == b.type;
}

// The text QSettings writes for a string value in an INI file.
QByteArray escapedValue(const QString &value);
// The record's entries as QSettings writes them, in its order, each ended by lineEnd.
QByteArray recordLines(const Record &record, const QByteArray &lineEnd);

// text with its record replaced by record. False when the record cannot be placed where
// QSettings would read it. A file without a record gets lines of its own for it, which
// withoutRecord takes away again to the byte; a record left in a group by an earlier writer is
// replaced where it stands.
bool withRecord(const QByteArray &text, const Record &record, QByteArray *result);
// text without its record (the four keys of "current", wherever QSettings reads them); *changed
// says whether there was one to drop. Other keys of the group stay.
QByteArray withoutRecord(const QByteArray &text, bool *changed);
// The copy step two reads: the groups "update" and "Channel" of source as they stand (with its
// BOM, so that they decode as before), and record. False as for withRecord.
bool stagedCopy(const QByteArray &source, const Record &record, QByteArray *result);
// Nothing but blank lines (and a BOM).
bool isBlank(const QByteArray &text);

// The bytes of a regular file at path (a link followed), refused when larger than any
// update.ini of ours would be.
bool read(const QString &path, QByteArray *bytes, QString *why);

// The record in group "current" of the file at path as the updater reads it; false when its
// version is no number.
bool readRecord(const QString &path, Record *record);

// What QSettings reads of a file.
struct Reading
{
    Record record; // as readRecord reads it, first thing after the file is read
    bool versionRead = false;
    QMap<QString, QVariant> values; // every key, once the whole file is read
};

// QSettings' reading of bytes as a file's content; false, with why, when it cannot be had.
using Reader = std::function<bool(const QByteArray &bytes, Reading *reading, QString *why)>;

// The new bytes of the file at path, made from its present ones (empty when there is none).
using Edit = std::function<bool(const QByteArray &before, QByteArray *after, QString *why)>;
// Whether the updater will read after (made from before) as it must; why says what it would not.
using Check = std::function<bool(const QByteArray &before, const QByteArray &after,
                                 const Reader &read, QString *why)>;

// The checks of the three changes: the record as written and every other key as before; no
// record; the record and the settings groups of source.
bool readsAsRecordWritten(const QByteArray &before, const QByteArray &after, const Record &record,
                          const Reader &read, QString *why);
bool readsWithoutRecord(const QByteArray &after, const Reader &read, QString *why);
bool readsAsStagedCopy(const QByteArray &source, const QByteArray &copy, const Record &record,
                       const Reader &read, QString *why);

// Changes the file at path by edit, whole or not at all. Refused before anything is written:
// a file the running user may not write, anything but a regular file, and a link that does
// not lead to a regular file inside the bundle (the folder that holds path's folder); new
// bytes that check finds the updater would not read as it must, or that make the file larger
// than the updater reads. A file that edit leaves blank is removed when removeWhenBlank is set.
// On false, reason says why.
bool change(const QString &path, const Edit &edit, const Check &check, bool removeWhenBlank,
            QString *reason);

// Removes what a killed change at path may have left behind.
void removeLeftoverScratch(const QString &path);

// The process's umask, read without changing it where the system allows.
mode_t currentUmask();

} // namespace UpdateIniFile

#endif // UPDATEINIFILE_H
