#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacelistdata.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// One entry of the download list: the transfer into the download folder, then the SHA-512 check
// of what arrived. What does not match is reported, removed and fails the task, so that no later
// step of the run (a pre-install command above all) gets to use it.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const DownloadEntry &entry, QNetworkAccessManager *manager,
                                  Configuration *configuration, QObject *parent, double weight);
    ~DownloadFileTaskSpecification() override;

    void execute() override;
    void reset() override;

    void makeSubtasksAndStart();

    DownloadEntry entry;
    QNetworkAccessManager *manager;
    Configuration *configuration;
    DownloadTaskSpecification *downloadTask;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);
};

// Removes a download whose check did not pass.
void removeUnverifiedDownload(const QString &path);

#endif // DOWNLOADFILETASKSPECIFICATION_H
