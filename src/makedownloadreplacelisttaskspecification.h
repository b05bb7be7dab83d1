#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "replacelistdata.h"

class Configuration;

// Reads the verified product ini on the thread pool and compares it with the installed files;
// on success the run's shared work lists are replaced by the result, all five at once.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration *configuration,
                                             ReplaceListData *sharedLists, QObject *parent,
                                             double weight);
    ~MakeDownloadReplaceListTaskSpecification() override;

    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;

private:
    Configuration *m_configuration;
    ReplaceListData *m_sharedLists;
    // The worker's result; only a successful run reaches the shared lists.
    ReplaceListData m_lists;
};

#endif // MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
