// The record is written into update.ini by hand, but read through QSettings: what is written
// must be what QSettings reads, and what QSettings reads of the rest must not change.
#include "updateinifile.h"

#include <QFile>
#include <QMap>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <gtest/gtest.h>

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
