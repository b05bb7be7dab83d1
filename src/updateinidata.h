// The record of the running update session, group "current" of update.ini, so that the next
// run can continue the session or clean up after it.
#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

class UpdateIniData
{
public:
    static QString iniPath();
    // True only for a usable record; null outputs are skipped, and on false none is written.
    static bool get(int *version, QString *type, QString *dir, QString *qvxdir);
    static bool modify(int version, const QString &dir, const QString &qvxdir, const QString &type);
    // Copies the record, typed for step two, into dir + "/update.ini".
    static bool modifyTempIni(const QString &dir);
};

#endif // UPDATEINIDATA_H
