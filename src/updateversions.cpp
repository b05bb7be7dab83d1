#include "updateversions.h"

void registerUpdateVersionsMetaType()
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
}

QPair<QString, QString> versionForChannel(const UpdateVersions &versions, int channel)
{
    static const char *const names[] = {"stable", "beta", "alpha"};
    if (channel < 0 || channel > 2)
        return QPair<QString, QString>();
    return versions.value(QString::fromLatin1(names[channel]));
}
