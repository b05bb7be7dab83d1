#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "composedtaskspecification.h"

#include <QString>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// First step of an update run: makes sure the download folder holds the product ini and its
// signature, fetching and unpacking what is missing, and verifies the signature. A product ini
// that does not verify ends the update.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Configuration *configuration,
                                 QObject *parent, double weight);
    ~IniDownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();

    // "qvx_client_macosx.ini" for the client update, "update_macosx.ini" for the updater.
    static QString iniName(int clientUpdate);
    static QString packedName(int clientUpdate);
    static QString signatureName(int clientUpdate);

    QNetworkAccessManager *manager;
    Configuration *configuration;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);
};

#endif // INIDOWNLOADTASKSPECIFICATION_H
