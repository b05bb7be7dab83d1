#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacelistdata.h"

#include <QList>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// The download step of an update run: every entry of the download list, at most the configured
// number of streams at a time, into the download folder. It ends Finished only when every
// download passed its check, so that no later step starts anything unverified.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileListTaskSpecification(QList<DownloadEntry> *downloads,
                                      QNetworkAccessManager *manager, Configuration *configuration,
                                      QObject *parent, double weight);
    ~DownloadFileListTaskSpecification() override;

    void execute() override;
    void reset() override;
    // The total covers the files that have not started yet.
    void getDownloadProgress(qulonglong *done, qulonglong *total, qulonglong *speed,
                             bool *downloading) override;

    void makeSubtasksAndStart();
    bool createTargetDirs();
    // After the transfers: checks the downloads without a hash against their signatures.
    void subtasksDone() override;

    // Read at execute, after the list builder has filled it.
    QList<DownloadEntry> *downloads;
    QNetworkAccessManager *manager;
    Configuration *configuration;
    quint64 totalBytes;

private slots:
    void onSignatureCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    bool addSignatureChecks();

    bool m_signatureChecksAdded = false;
};

#endif // DOWNLOADFILELISTTASKSPECIFICATION_H
