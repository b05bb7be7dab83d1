// Benchmark of the updater's own work (not a test).
//
//   qvx_bench_updater hash FILE
//       prints "<sha512 in lower-case hex>  FILE" as sha512sum does, computed by the hashing
//       code of the installed-file check.
//   qvx_bench_updater tasks [--work DIR] [ENTRIES...]
//       for a product ini of each number of entries (default 10000 100000 1000000): the time
//       the list builder takes, and the time to build the download and the replace task trees
//       from its lists, up to where the first download would start, and the time to free them.

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filesha512.h"
#include "makedownloadreplacelistfunc.h"
#include "productini.h"
#include "replacelistdata.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

int hashFile(const QString &path)
{
    QFile file(path);
    QString hex;
    if (!file.open(QIODevice::ReadOnly) || !fileSha512Hex(file, file.size(), &hex)) {
        std::fprintf(stderr, "qvx_bench_updater: cannot read %s\n", qPrintable(path));
        return 1;
    }
    std::printf("%s  %s\n", qPrintable(hex), qPrintable(path));
    return 0;
}

// The updater writes its debug lines only to an update log that is switched off by default.
void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

QString sha512Of(const QByteArray &content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
}

// Entries are spread over folders of 1000 files. The first 1000 are installed, half of them
// current and half out of date, so the list builder hashes real files; the others are missing
// and get downloaded whole, as on a first install.
constexpr int filesPerFolder = 1000;
constexpr int installedFiles = 1000;

QString entryPath(int i)
{
    return QString::asprintf("d%04d/f%07d", i / filesPerFolder, i);
}

QByteArray entryContent(int i)
{
    return QByteArray("installed file ") + QByteArray::number(i) + QByteArray(4000, 'x');
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool layOut(const Configuration &configuration, int entries)
{
    QByteArray ini = "[macosx]\n";
    ini.reserve(entries * 160);
    const QByteArray missingHash = sha512Of("missing").toLatin1();
    for (int i = 0; i < entries; ++i) {
        const QString path = entryPath(i);
        QByteArray hash = missingHash;
        if (i < installedFiles) {
            const QString local = configuration.installPath + path;
            QDir().mkpath(QFileInfo(local).path());
            const QByteArray content = entryContent(i);
            if (!writeBytes(local, content))
                return false;
            // Every second installed file is out of date.
            hash = sha512Of(i % 2 ? content : content + "new").toLatin1();
        }
        ini += path.toLatin1() + '=' + hash + "::4100\n";
    }
    return writeBytes(ProductIni::filePath(configuration), ini);
}

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

int benchTasks(QStringList args)
{
    QString workRoot;
    if (args.size() >= 2 && args.first() == QLatin1String("--work")) {
        workRoot = args.at(1);
        args = args.mid(2);
    }
    QList<int> sizes;
    for (const QString &arg : args)
        sizes << arg.toInt();
    if (sizes.isEmpty())
        sizes = {10000, 100000, 1000000};

    qInstallMessageHandler(dropMessage);
    QNetworkAccessManager manager;
    std::printf("%10s %12s %12s %12s %12s %12s %12s\n", "entries", "downloads", "list s",
                "download s", "replace s", "tasks s", "free s");
    for (int entries : sizes) {
        QTemporaryDir work(workRoot.isEmpty() ? QDir::tempPath() + "/qvx_bench_updater-XXXXXX"
                                              : workRoot + "/qvx_bench_updater-XXXXXX");
        if (entries < 1 || !work.isValid()) {
            std::fprintf(stderr, "qvx_bench_updater: bad size or no work folder\n");
            return 1;
        }
        Configuration configuration;
        configuration.clientUpdate = 1;
        configuration.tempDir = work.filePath("session");
        configuration.installPath = work.filePath("client") + '/';
        configuration.streams = 6;
        QDir().mkpath(configuration.tempDir);
        QDir().mkpath(configuration.installPath);
        if (!layOut(configuration, entries)) {
            std::fprintf(stderr, "qvx_bench_updater: cannot write the product ini\n");
            return 1;
        }

        ReplaceListData lists;
        QElapsedTimer timer;
        timer.start();
        MakeDownloadReplaceListFunc builder(&configuration, &lists);
        if (!builder.run()) {
            std::fprintf(stderr, "qvx_bench_updater: the list builder failed\n");
            return 1;
        }
        const double listTime = seconds(timer);

        // Both trees are built as the main task builds them; their first children would start
        // from the event loop, which is not entered here.
        timer.restart();
        auto downloads = std::make_unique<DownloadFileListTaskSpecification>(
            &lists.m_downloadList, &manager, &configuration, nullptr, 0.4);
        downloads->execute();
        const double downloadTime = seconds(timer);
        timer.restart();
        auto replaces = std::make_unique<FileReplaceListTaskSpecification>(
            &lists.m_replaceList, &lists.m_deleteList, &configuration, nullptr, 0.4);
        replaces->execute();
        const double replaceTime = seconds(timer);

        timer.restart();
        downloads.reset();
        replaces.reset();
        const double freeTime = seconds(timer);

        std::printf("%10d %12d %12.3f %12.3f %12.3f %12.3f %12.3f\n", entries,
                    int(lists.m_downloadList.size()), listTime, downloadTime, replaceTime,
                    downloadTime + replaceTime, freeTime);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args.at(0) == QLatin1String("hash"))
        return hashFile(args.at(1));
    if (!args.isEmpty() && args.at(0) == QLatin1String("tasks"))
        return benchTasks(args.mid(1));
    const bool help = args.size() == 1
        && (args.first() == QLatin1String("-h") || args.first() == QLatin1String("--help"));
    std::fprintf(help ? stdout : stderr,
                 "usage: qvx_bench_updater hash FILE\n"
                 "       qvx_bench_updater tasks [--work DIR] [ENTRIES...]\n");
    return help ? 0 : 2;
}
