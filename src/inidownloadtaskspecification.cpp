#include "inidownloadtaskspecification.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "containerheader.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "productini.h"
#include "regularfile.h"

#include <QDebug>
#include <QFile>

namespace {

// Far above any real product ini. The ini can only be checked once unpacked, so without a bound
// a small hostile container could make us reserve gigabytes first.
constexpr quint64 kMaxIniSize = 64 * 1024 * 1024;

class IniUnpackFunc : public FileUnpackFunc_lzma2
{
public:
    using FileUnpackFunc_lzma2::FileUnpackFunc_lzma2;

    bool run() override
    {
        // The reasons the unpacker gives: the system's, or a file that is no container. Checked
        // first, so that no FIFO put in its place can block the header's read.
        QString why;
        if (!isReadableRegularFile(sourcePath, &why)) {
            qDebug() << "IniUnpackFunc: cannot read packed product ini" << sourcePath;
            return failWith(why);
        }
        quint64 size = 0;
        if (!ContainerHeader::plainUnpackedSize(sourcePath, &size)) {
            qDebug() << "IniUnpackFunc: refusing packed product ini" << sourcePath;
            return failWith(damagedText());
        }
        if (size > kMaxIniSize) {
            qDebug() << "IniUnpackFunc: refusing packed product ini" << sourcePath << "stated size"
                     << size;
            return false;
        }
        return FileUnpackFunc_lzma2::run();
    }
};

class IniUnpackTaskSpecification : public FileUnpackTaskSpecification_lzma2
{
public:
    using FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2;

    ASyncFunc *createFunc() override { return new IniUnpackFunc(sourcePath, targetPath); }
};

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager *manager,
                                                           Configuration *configuration,
                                                           QObject *parent, double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , manager(manager)
    , configuration(configuration)
{ }

IniDownloadTaskSpecification::~IniDownloadTaskSpecification() = default;

QString IniDownloadTaskSpecification::iniName(int clientUpdate)
{
    return ProductIni::fileName(clientUpdate);
}

QString IniDownloadTaskSpecification::packedName(int clientUpdate)
{
    return iniName(clientUpdate) + QStringLiteral("._lzma2_");
}

QString IniDownloadTaskSpecification::signatureName(int clientUpdate)
{
    return iniName(clientUpdate) + QStringLiteral(".sig");
}

void IniDownloadTaskSpecification::execute()
{
    emit message(tr("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubtasks();
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const int step = configuration->clientUpdate;
    const QString ini = iniName(step);
    const QString packed = packedName(step);
    const QString signature = signatureName(step);
    const QString dir = configuration->tempDir + QLatin1Char('/');
    qDebug() << "makeSubtasksAndStart" << ini << packed;

    double remaining = 1.0;
    if (!QFile::exists(dir + ini)) {
        qDebug() << "Requesting" << packed;
        auto *download = new DownloadTaskSpecification(manager, packed, configuration->versionNr,
                                                       dir + packed, -1, this, 0.3333);
        // Nothing states the packed ini's size; the ini it unpacks to has the same bound.
        download->setSizeLimit(qint64(kMaxIniSize));
        addSubTask(download);
        addSubTask(new IniUnpackTaskSpecification(nullptr, dir + packed, dir + ini, this, 1.0));
        remaining = 0.6667;
    }
    if (!QFile::exists(dir + signature)) {
        qDebug() << "Requesting" << signature;
        auto *download = new DownloadTaskSpecification(manager, signature, configuration->versionNr,
                                                       dir + signature, -1, this, 0.3333);
        download->setSizeLimit(DownloadTaskSpecification::signatureSizeLimit);
        addSubTask(download);
        remaining = remaining - 0.3333;
    }
    auto *check = new CheckSignatureTaskSpecification(dir + ini, QString(), true, this, remaining);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = Running;
    startSubtasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task)
{
    Q_UNUSED(task);
    if (pass)
        return;
    qDebug() << "Failed to verify product ini, aborting";
    // Kept, they would be found present by every later run and fail it the same way.
    const QString dir = configuration->tempDir + QLatin1Char('/');
    QFile::remove(dir + iniName(configuration->clientUpdate));
    QFile::remove(dir + signatureName(configuration->clientUpdate));
    emit message(tr("Could not verify the product ini file. Aborting"));
    fail();
}

void IniDownloadTaskSpecification::subtasksDone()
{
    // Failed already by a signature that did not verify: the parent heard of it once.
    if (state == Failed)
        return;
    ComposedTaskSpecification::subtasksDone();
}
