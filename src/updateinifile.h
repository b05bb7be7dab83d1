// update.ini is the user's file as well: the record's group "current" is changed in its bytes,
// and every other line stays as the user wrote it. Reading keeps going through QSettings, so
// what is recognised here as a section, an entry or a key is what QSettings makes of the bytes.
#ifndef UPDATEINIFILE_H
#define UPDATEINIFILE_H

#include <QByteArray>
#include <QString>

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

// The text QSettings writes for a string value in an INI file.
QByteArray escapedValue(const QString &value);
// The record's entries as QSettings writes them, in its order, each ended by lineEnd.
QByteArray recordLines(const Record &record, const QByteArray &lineEnd);

// text with its record replaced by record. False when the record cannot be placed where
// QSettings would read it.
bool withRecord(const QByteArray &text, const Record &record, QByteArray *result);
// text without its record; *changed says whether there was one to drop.
QByteArray withoutRecord(const QByteArray &text, bool *changed);
// The copy step two reads: the groups "update" and "Channel" of source as they stand (with its
// BOM, so that they decode as before), and record. False as for withRecord.
bool stagedCopy(const QByteArray &source, const Record &record, QByteArray *result);
// Nothing but blank lines (and a BOM).
bool isBlank(const QByteArray &text);

// The bytes of a regular file at path (a link followed), refused when larger than any
// update.ini of ours would be.
bool read(const QString &path, QByteArray *bytes, QString *why);

// The new bytes of the file at path, made from its present ones (empty when there is none).
using Edit = std::function<bool(const QByteArray &before, QByteArray *after, QString *why)>;

// Changes the file at path by edit, whole or not at all. Refused before anything is written:
// a file the running user may not write, anything but a regular file, and a link that does
// not lead to a regular file inside the bundle (the folder that holds path's folder). A file
// that edit leaves blank is removed when removeWhenBlank is set. On false, reason says why.
bool change(const QString &path, const Edit &edit, bool removeWhenBlank, QString *reason);

// Removes what a killed change at path may have left behind.
void removeLeftoverScratch(const QString &path);

// The process's umask, read without changing it where the system allows.
mode_t currentUmask();

} // namespace UpdateIniFile

#endif // UPDATEINIFILE_H
