#include "rollback.h"

#include "scratchfile.h"
#include "systemreason.h"

#include <QDebug>
#include <QFile>
#include <QMetaMethod>
#include <QMetaObject>
#include <QObject>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

RollbackData::RollbackData(int op, const QString &from, const QString &to)
    : path(to)
    , path2(from)
    , op(op)
{
    // Always checked: a wrong record would undo the wrong thing.
    if (op != FILE_RENAME)
        qt_assert("op==FILE_RENAME", __FILE__, __LINE__);
}

RollbackData::RollbackData(int op, const QString &path)
    : path(path)
    , op(op)
{
    if (op == FILE_RENAME)
        qt_assert("op!=FILE_RENAME", __FILE__, __LINE__);
}

bool RollbackData::rollback(QObject *receiver)
{
    bool ok = false;
    switch (op) {
    case DIR_CREATE: {
        // Not Qt's rmdir or remove: they do not say why they failed.
        const QByteArray name = QFile::encodeName(path);
        ok = ::rmdir(name.constData()) == 0;
        // Saved at once: building the text (a translator, say) may change errno.
        const int error = errno;
        if (!ok)
            message(
                receiver,
                withSystemReason(QObject::tr("warning: rollback create dir %1 failed").arg(path),
                                 systemErrorText(error)));
        break;
    }
    case FILE_CREATE: {
        const QByteArray name = QFile::encodeName(path);
        struct stat info;
        const bool someoneElses = file.known() && ::lstat(name.constData(), &info) == 0
            && (quint64(info.st_dev) != file.device || quint64(info.st_ino) != file.inode);
        ok = !someoneElses && ::unlink(name.constData()) == 0;
        const int error = errno;
        if (!ok)
            message(
                receiver,
                withSystemReason(QObject::tr("warning: rollback create file %1 failed").arg(path),
                                 someoneElses ? QObject::tr("another file has taken its name")
                                              : systemErrorText(error)));
        break;
    }
    case FILE_RENAME: {
        // Across file systems the move is a copy that brings back the file's mode; one cut
        // short by a full disk does not stay in the file's place (as QFile::rename's does).
        QString reason;
        ok = moveFileWithoutReplacing(path, path2, &reason);
        if (!ok)
            message(receiver,
                    withSystemReason(
                        QObject::tr("warning: rollback rename %1 to %2 failed").arg(path2, path),
                        reason));
        break;
    }
    default:
        qFatal("Should not reach here");
    }
    return ok;
}

void RollbackData::message(QObject *receiver, const QString &text)
{
    if (!receiver)
        return;
    const QMetaObject *meta = receiver->metaObject();
    const int index
        = meta->indexOfMethod(QMetaObject::normalizedSignature("message(QString)").constData());
    if (index < 0) {
        qDebug() << "Warning: message signal was not found in RollbackData::message";
        return;
    }
    meta->method(index).invoke(receiver, Qt::AutoConnection, Q_ARG(QString, text));
}

void RollbackDataList::append(const RollbackData &record)
{
    QList<RollbackData>::append(record);
}

void RollbackDataList::append(const RollbackDataList &other)
{
    QList<RollbackData>::append(other);
}

void RollbackDataList::clear()
{
    QList<RollbackData>::clear();
}

bool RollbackDataList::rollback(QObject *receiver)
{
    bool allUndone = true;
    while (!isEmpty()) {
        // Taken out first, so a record is never undone twice.
        RollbackData record = takeLast();
        if (!record.rollback(receiver))
            allUndone = false;
    }
    return allUndone;
}
