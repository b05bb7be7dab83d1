// Makes the client's shared Qt libraries and web-engine resources available inside the tool
// bundles of its shared-support folder, as relative symbolic links. Run after a successful
// client update, before the client starts.
#ifndef BUNDLELINKS_H
#define BUNDLELINKS_H

#include <QString>

class BundleLinks
{
public:
    // installPath: the client bundle's Contents folder, ending with "/".
    static void createClientBundleLinks(const QString &installPath);
    // Links linkPath to target, replacing what is there. A real file is kept when the new link
    // would point at nothing. True when the link is in place.
    static bool createSymlink(const QString &target, const QString &linkPath);
};

#endif // BUNDLELINKS_H
