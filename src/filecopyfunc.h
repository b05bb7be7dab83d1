#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "slowfileopfunc.h"

// Copies sourcePath to targetPath, replacing an existing target. The copy gets the mode of the
// file it replaces (a new file the default mode), or with keepSourceMode the source's mode.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString &sourcePath, const QString &targetPath, bool keepSourceMode = false);
    ~FileCopyFunc() override;

    bool run() override;

    // For copies that keep a file aside, to be put back later as it was.
    bool keepSourceMode;
};

#endif // FILECOPYFUNC_H
