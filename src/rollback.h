#ifndef ROLLBACK_H
#define ROLLBACK_H

#include "scratchfile.h"

#include <QList>
#include <QString>

class QObject;

// One undo record of a file operation done during an installation.
class RollbackData
{
public:
    enum Operation {
        FILE_RENAME = 0, // path2 was renamed to path
        FILE_CREATE = 1, // the file path was written
        DIR_CREATE = 2 // the directory path was created
    };

    // A rename from `from` to `to`; op must be FILE_RENAME.
    RollbackData(int op, const QString &from, const QString &to);
    // A created file or directory; op must not be FILE_RENAME.
    RollbackData(int op, const QString &path);

    // Undoes the operation; a failure is reported to the receiver as a warning line.
    bool rollback(QObject *receiver);
    // Sends text to the receiver's "message" method (a task's message signal).
    void message(QObject *receiver, const QString &text);

    QString path;
    QString path2;
    int op;
    // For FILE_CREATE: the file that was written, when known. A file that has taken its name
    // since is not removed.
    FileIdentity file;
};

// Undo records in the order the operations happened; undone newest first.
class RollbackDataList : public QList<RollbackData>
{
public:
    RollbackDataList() = default;

    void append(const RollbackData &record);
    void append(const RollbackDataList &other);
    void clear();
    // Undoes and removes every record, newest first; true when every undo succeeded.
    bool rollback(QObject *receiver);
};

#endif // ROLLBACK_H
