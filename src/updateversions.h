// The version server's answer as the updater passes it around.
#ifndef UPDATEVERSIONS_H
#define UPDATEVERSIONS_H

#include <QHash>
#include <QMetaType>
#include <QPair>
#include <QString>

// Channel name -> (version number as unsigned decimal text, version string). Empty when the
// query failed.
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;

Q_DECLARE_METATYPE(UpdateVersions)

// Makes UpdateVersions usable in queued signal connections; called once at start-up.
void registerUpdateVersionsMetaType();

// Channel 0 is "stable", 1 "beta", 2 "alpha"; anything absent gives two empty strings.
QPair<QString, QString> versionForChannel(const UpdateVersions &versions, int channel);

#endif // UPDATEVERSIONS_H
