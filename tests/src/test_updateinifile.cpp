// The record is written into update.ini by hand, but read through QSettings: what is written
// must be what QSettings reads, and what QSettings reads of the rest must not change.
#include "configuration.h"
#include "updateinidata.h"
#include "updateinifile.h"
#include "updatertestenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

// A new name each time: QSettings answers from its cache for a name it has read before.
QString freshFile(const QTemporaryDir &dir)
{
    static int count = 0;
    return dir.filePath(QStringLiteral("f%1.ini").arg(++count));
}

QMap<QString, QVariant> readBack(const QTemporaryDir &dir, const QByteArray &bytes)
{
    const QString path = freshFile(dir);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    QMap<QString, QVariant> values;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        if (!key.isEmpty())
            values.insert(key, settings.value(key));
    return values;
}

QMap<QString, QVariant> withoutGroup(QMap<QString, QVariant> values, const QString &group)
{
    for (auto it = values.begin(); it != values.end();) {
        if (it.key().startsWith(group + QLatin1Char('/')))
            it = values.erase(it);
        else
            ++it;
    }
    return values;
}

UpdateIniFile::Record recordWithDir(const QString &dir)
{
    return {905, dir, QStringLiteral("/client dir/"), QStringLiteral("update_macosx")};
}

} // namespace

TEST(UpdateIniFileTest, RecordLinesAreWhatQSettingsWrites)
{
    const QString values[] = {
        QStringLiteral("/tmp/quorvelin_temp_1"),
        QStringLiteral("/Applications/Quorvelin 3 Client.app/Contents/"),
        QStringLiteral(" leading blank"),
        QStringLiteral("trailing blank "),
        QStringLiteral("  "),
        QStringLiteral("/a,b/c"),
        QStringLiteral("/say \"hi\"/"),
        QStringLiteral("/semi;colon"),
        QStringLiteral("/equals=sign"),
        QStringLiteral("#hash/first"),
        QStringLiteral("/back\\slash\\"),
        QStringLiteral("@at/first"),
        QStringLiteral("@String(x)"),
        QStringLiteral("/Users/Zo\u00eb/caf\u00e9"),
        QStringLiteral("/\u00eb1\u00ebF\u00ebg"),
        QStringLiteral("/\u65e5\u672c/\U0001F600x"),
        QStringLiteral("tab\there, new\nline"),
        QStringLiteral("del\x7f"),
        QStringLiteral("bell\a\v\x01"
                       "2\b\f\r"),
        QString::fromLatin1("nul", 3) + QChar(0) + QStringLiteral("1"),
        QStringLiteral("(paren) [bracket] %25"),
        QString(),
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const QString &value : values) {
        SCOPED_TRACE(value.toStdString());
        const UpdateIniFile::Record record {-12, value, value, value};
        const QString path = freshFile(dir);
        {
            QSettings settings(path, QSettings::IniFormat);
            settings.beginGroup(QStringLiteral("current"));
            settings.setValue(QStringLiteral("version"), record.version);
            settings.setValue(QStringLiteral("dir"), record.dir);
            settings.setValue(QStringLiteral("qvxdir"), record.qvxdir);
            settings.setValue(QStringLiteral("type"), record.type);
        }
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray written = file.readAll();
        EXPECT_EQ(written, "[current]\n" + UpdateIniFile::recordLines(record, "\n"));

        // And read back equal, from a file with other line ends too.
        for (const QByteArray lineEnd : {"\n", "\r\n", "\r"}) {
            const QMap<QString, QVariant> read = readBack(
                dir, "[current]" + lineEnd + UpdateIniFile::recordLines(record, lineEnd));
            EXPECT_EQ(read.value(QStringLiteral("current/dir")).toString(), value);
            EXPECT_EQ(read.value(QStringLiteral("current/type")).toString(), value);
            EXPECT_EQ(read.value(QStringLiteral("current/version")).toInt(), -12);
        }
    }
}

// Files as users keep them, and some QSettings reads in unexpected ways: after the record is
// written QSettings reads exactly the record in "current" and everything else as before, and
// after it is dropped again everything but the record.
TEST(UpdateIniFileTest, OnlyTheRecordChangesInWhatQSettingsReads)
{
    const QByteArray files[] = {
        "",
        "; only a comment",
        "\xef\xbb\xbf[Channel]\nname=Zo\xc3\xab\n",
        "\xef\xbb\xbfupdate\\proxy=p:1\n",
        "\xef\xbb\xbf  current\\version=3\n",
        "[Channel]\ndup=first\ndup=second\nsemi=a;b\n#x=1\n",
        "[current]\nversion=1\ndir=/old\nqvxdir=/o/\ntype=x\nextra=1\n[update]\nproxy=p\n",
        "[current]\nversion=1\n[ current ]\ntype=y\n[%63urrent]\ndir=/z\n[Current]\nversion=4\n",
        "current\\version=3\ncurrent/dir=/top\n[update]\nstreams=2\n",
        "[General]\ncurrent/type=z\n[%General]\nk=v\n",
        "[Channel]\ntitle=6\" screen\n[update]\nproxy=p:1\n",
        "note=\"open quote\n[current]\nversion=2\n",
        "[update]\nproxy=p:1\\",
        "[update]\nproxy=p:1\\\n",
        "a//b=1\n/x=2\n=3\n[update/]\ns=1\n[]\nt=2\n",
        "garbage\n[update]\nstreams\n[current]version=7\n",
        "[update]\r\nproxy=p:1\r\n[current]\r\nversion=1\r\n",
        "[update]\rproxy=p:1\r[current]\rversion=1",
        "[current] ; the record\n  version = 8 ;old\n\tdir=/x\n",
        "[current]\nversion=1\"\n[update]\nproxy=p\n\"\n",
        "[cur\\rent]\nx=1\n[current\\]\nversion=1\n",
        // A record put in front of a BOM file leaves the BOM in the first key's name.
        "\xef\xbb\xbfnote=1\n[a]\nk=\"open\n",
        "\xef\xbb\xbf current\\dir=/mine\n[a]\nk=\"open\n",
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const UpdateIniFile::Record record = recordWithDir(QStringLiteral("/tmp/a b,c;d\"e\u00eb"));
    for (const QByteArray &before : files) {
        SCOPED_TRACE(before.toStdString());
        const QMap<QString, QVariant> rest
            = withoutGroup(readBack(dir, before), QStringLiteral("current"));

        QByteArray written;
        ASSERT_TRUE(UpdateIniFile::withRecord(before, record, &written));
        const QMap<QString, QVariant> read = readBack(dir, written);
        EXPECT_EQ(read.value(QStringLiteral("current/version")).toInt(), 905);
        EXPECT_EQ(read.value(QStringLiteral("current/dir")).toString(), record.dir);
        EXPECT_EQ(read.value(QStringLiteral("current/qvxdir")).toString(), record.qvxdir);
        EXPECT_EQ(read.value(QStringLiteral("current/type")).toString(), record.type);
        EXPECT_EQ(withoutGroup(read, QStringLiteral("current")), rest);

        bool changed = false;
        const QByteArray dropped = UpdateIniFile::withoutRecord(written, &changed);
        EXPECT_TRUE(changed);
        EXPECT_EQ(withoutGroup(readBack(dir, dropped), QStringLiteral("current")), rest);
        EXPECT_TRUE(readBack(dir, dropped).value(QStringLiteral("current/version")).isNull());
        // Written again, the record takes the same lines.
        QByteArray again;
        ASSERT_TRUE(UpdateIniFile::withRecord(written, record, &again));
        EXPECT_EQ(again, written);
    }
}

TEST(UpdateIniFileTest, TheStagedCopyReadsAsTheSettingsGroupsOfTheSource)
{
    const QByteArray sources[] = {
        "[Channel]\nalpha=http://a/\n[notes]\nseen=yes\n[update]\nproxy=\"a,b\"\nstreams=2\n",
        "\xef\xbb\xbf[Channel]\nname=Zo\xc3\xab\n[update/sub]\nx=1\n[other]\ny=2\n",
        "update\\streams=3\nChannel/beta=true\nother=1\n[update]\nproxy=p\n",
        "[update]\nproxy=\"open\n[current]\nversion=1\n",
        "[update]\r\nproxy=p:1\r\n[current]\r\nversion=1\r\n[Channel]\r\nbeta=true",
        // Right after the BOM a key would be read with the BOM in its name.
        "\xef\xbb\xbfnote=1\nupdate\\proxy=http://p:3128\n[Channel]\nbeta=true\n",
        "\xef\xbb\xbf\nChannel\\beta=true\n",
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const UpdateIniFile::Record record = recordWithDir(QStringLiteral("/tmp/s"));
    for (const QByteArray &source : sources) {
        SCOPED_TRACE(source.toStdString());
        QMap<QString, QVariant> settings;
        const QMap<QString, QVariant> all = readBack(dir, source);
        for (auto it = all.constBegin(); it != all.constEnd(); ++it)
            if (it.key().startsWith(QLatin1String("update/"))
                || it.key().startsWith(QLatin1String("Channel/")))
                settings.insert(it.key(), it.value());

        QByteArray staged;
        ASSERT_TRUE(UpdateIniFile::stagedCopy(source, record, &staged));
        const QMap<QString, QVariant> read = readBack(dir, staged);
        EXPECT_EQ(read.value(QStringLiteral("current/dir")).toString(), record.dir);
        EXPECT_EQ(read.value(QStringLiteral("current/type")).toString(), record.type);
        EXPECT_EQ(withoutGroup(read, QStringLiteral("current")), settings);
    }
}

namespace {

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// A whole update as update.ini sees it: step one writes the record and stages the copy that
// step two reads it back from, and the record is dropped at the end. update.ini is then what it
// was, byte for byte. What could not be read back is refused before anything is written, with
// the reason.
TEST(UpdateIniWholeUpdateTest, LeavesUpdateIniAsItWasOrRefusesWithTheReason)
{
    const QByteArray settings = "[update]\nstreams=2\n";
    const QByteArray nearLimit
        = settings + QByteArray((1 << 20) - 64 - settings.size() - 1, ';') + "\n";
    const struct
    {
        const char *label;
        QByteArray before; // empty: no file
        const char *refused = nullptr; // the reason a record write gives; null: written
    } cases[] = {
        {"no file", ""},
        {"no line end at the end", "[update]\nstreams=2"},
        {"CRLF and no line end at the end", "[update]\r\nstreams=2\r\n[Channel]\r\nbeta=true"},
        {"CR only", "[update]\rstreams=2\r"},
        {"ends inside a quoted value", "[Channel]\nbeta=false\n\n[a]\nk=\"open\n"},
        {"ends with an escaped line end", "[update]\nproxy=p:1\\"},
        {"ends inside a quoted value at the top level", "k=\"open\n[update]\nstreams=2\n"},
        {"other keys of the record's group stay", "[update]\nstreams=2\n\n[current]\nnote=mine\n"},
        {"the record's group, empty, at the end", "[update]\nstreams=2\n[current]"},
        {"comments only", "; mine\n\n"},
        {"BOM and a top-level proxy",
         "\xef\xbb\xbfnote=1\nupdate\\proxy=http://proxy.example:3128\n[Channel]\nbeta=true\n"},
        {"BOM and the record in front", "\xef\xbb\xbfnote=mine\n[a]\nk=\"open\n"},
        {"BOM and a top-level key named like a record key",
         "\xef\xbb\xbf current\\dir=/mine\n[a]\nk=\"open\n"},
        {"a group below the record's", "[update]\nstreams=2\n\n[current/a]\nk=1\n",
         "the group \"current/a\" keeps QSettings from reading the record's \"version\""},
        {"64 bytes under the size limit", nearLimit, "the file would be larger than 1048576 bytes"},
        {"BOM and a file that is one open value", "\xef\xbb\xbfnote=\"open\n",
         "the record cannot be placed where it would be read"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        UpdaterTestEnv env;
        const QString session = env.path(QStringLiteral("session"));
        const QString staged = session + QStringLiteral("/SharedSupport");
        ASSERT_TRUE(QDir().mkpath(staged + QStringLiteral("/update.app/Contents/MacOS")));
        const QString file = env.sharedSupport() + QStringLiteral("/update.ini");
        if (!c.before.isEmpty()) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(file, c.before));
        }

        QString reason;
        const bool written = UpdateIniData::modify(905, session, QStringLiteral("/client dir/"),
                                                   QStringLiteral("update_macosx"), &reason);
        if (c.refused) {
            EXPECT_FALSE(written);
            EXPECT_EQ(reason, QString::fromUtf8(c.refused));
            EXPECT_EQ(contentOf(file), c.before);
            EXPECT_EQ(QDir(env.sharedSupport()).entryList(QDir::Files | QDir::Hidden),
                      QStringList {QStringLiteral("update.ini")});
            continue;
        }
        // Every row runs, whatever an earlier one did.
        if (!written || !UpdateIniData::modifyTempIni(staged, &reason)) {
            ADD_FAILURE() << "not written: " << reason.toStdString();
            continue;
        }

        Configuration::setApplicationDirOverride(staged
                                                 + QStringLiteral("/update.app/Contents/MacOS"));
        int version = 0;
        QString type, dir, qvxdir;
        EXPECT_TRUE(UpdateIniData::get(&version, &type, &dir, &qvxdir));
        EXPECT_EQ(version, 905);
        EXPECT_EQ(type, QStringLiteral("client_macosx"));
        EXPECT_EQ(dir, session);
        EXPECT_EQ(qvxdir, QStringLiteral("/client dir/"));

        Configuration::setApplicationDirOverride(env.applicationDir());
        EXPECT_TRUE(UpdateIniData::remove(&reason)) << reason.toStdString();
        EXPECT_EQ(contentOf(file), c.before);
        EXPECT_EQ(QFileInfo::exists(file), !c.before.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(file + QStringLiteral("_part_")));
    }
}

// A '[' line without its ']' is looked for on its own line only: a file full of such lines
// is changed as any other. The guard only keeps a search through the whole file for every line
// from holding up the suite.
TEST(UpdateIniFileTest, AFileOfOpenSectionLinesIsChangedAsAnyOther)
{
    QByteArray text;
    while (text.size() < 512 * 1024)
        text += "[\n";
    const UpdateIniFile::Record record = recordWithDir(QStringLiteral("/tmp/s"));
    struct Results
    {
        bool written = false;
        QByteArray withRecord;
        QByteArray dropped;
        bool staged = false;
        QByteArray copy;
    };
    const auto results = std::make_shared<Results>();
    const auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    // Detached, so that a change that does not end cannot keep the test from failing.
    std::thread([text, record, results, done] {
        results->written = UpdateIniFile::withRecord(text, record, &results->withRecord);
        bool changed = false;
        results->dropped = UpdateIniFile::withoutRecord(results->withRecord, &changed);
        results->staged = UpdateIniFile::stagedCopy(results->withRecord, record, &results->copy);
        done->set_value();
    }).detach();
    ASSERT_EQ(ended.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the change did not end";
    ASSERT_TRUE(results->written);
    EXPECT_EQ(results->withRecord, text + "[current]\n" + UpdateIniFile::recordLines(record, "\n"));
    EXPECT_EQ(results->dropped, text);
    ASSERT_TRUE(results->staged);
    EXPECT_EQ(results->copy, "[current]\n" + UpdateIniFile::recordLines(record, "\n"));
}
