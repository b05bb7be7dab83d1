#ifndef MAINTASKSPECIFICATION_H
#define MAINTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacelistdata.h"

class Configuration;
class QNetworkAccessManager;

// The root of one update run: fetches and checks the product ini, builds the work lists from
// it, downloads, runs the pre-install commands, installs the client (or stages the new updater),
// removes obsolete files and runs the post-install commands, one step after the other.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    MainTaskSpecification(QNetworkAccessManager *manager, Configuration *configuration,
                          QObject *parent, double weight);
    ~MainTaskSpecification() override;

    void execute() override;
    void reset() override;
    // Once the client's files are replaced the run can no longer be undone: a cancel from then
    // on is deferred and the run goes on to its end, so the bundle is the old or the new one.
    void cancel() override;

    void makeSubtasksAndStart();

    // Not owned.
    QNetworkAccessManager *manager;
    // Not owned.
    Configuration *configuration;
    // Filled by the list builder; every later step reads its own list when it starts.
    ReplaceListData lists;

private:
    void onReplaceStepFinished();
    void deferCancel();

    // Step two's file replace list; null in step one and before execute.
    TaskSpecification *m_replaceStep = nullptr;
    // The deferral has been announced.
    bool m_cancelDeferred = false;
};

#endif // MAINTASKSPECIFICATION_H
