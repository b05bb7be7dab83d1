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
    // The writes change the record's lines alone and leave update.ini as it was when they fail.
    // On failure reason, when given, receives why (the system's text where there is one).
    static bool modify(int version, const QString &dir, const QString &qvxdir, const QString &type);
    static bool modify(int version, const QString &dir, const QString &qvxdir, const QString &type,
                       QString *reason);
    // Drops the record; the file goes only when nothing but blank lines would be left.
    static bool remove(QString *reason = nullptr);
    // Copies the record, typed for step two, into dir + "/update.ini", together with the groups
    // "update" and "Channel" of iniPath, so that step two runs with the same settings.
    static bool modifyTempIni(const QString &dir);
    static bool modifyTempIni(const QString &dir, QString *reason);
    // Removes what a write killed half-way may have left beside update.ini.
    static void removeLeftoverScratch();
};

#endif // UPDATEINIDATA_H
