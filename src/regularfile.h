// Reading files that someone else may have put in our way. A FIFO or a device at a path we read
// would block the updater in open() or feed it without end; only a regular file is read.
#ifndef REGULARFILE_H
#define REGULARFILE_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// Opens path read-only without blocking and returns its descriptor (blocking again) when it is a
// regular file, else -1 with *why (when not null) saying what lies there or the system's reason.
// extraFlags are added to the open flags (O_NOFOLLOW, say). info, when not null, gets the fstat
// of the opened file.
int openRegularFile(const QString &path, int extraFlags = 0, struct stat *info = nullptr,
                    QString *why = nullptr);

// True when path can be opened as a regular file as above; the file is closed again.
bool isReadableRegularFile(const QString &path, QString *why = nullptr);

// The whole content of the regular file at path, at most maxSize bytes: a larger file is refused
// rather than cut. False with *why on any failure.
bool readRegularFile(const QString &path, qint64 maxSize, QByteArray *bytes, QString *why = nullptr,
                     int extraFlags = 0, struct stat *info = nullptr);

// The reason text for what lies at a path instead of a regular file ("a folder", "a FIFO" ...).
QString nonRegularFileText(mode_t mode);

#endif // REGULARFILE_H
