#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "slowfileopfunc.h"

// Copies sourcePath to targetPath, replacing an existing target.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString &sourcePath, const QString &targetPath);
    ~FileCopyFunc() override;

    bool run() override;
};

#endif // FILECOPYFUNC_H
