#ifndef TEST_DOWNLOAD_SUPPORT_H
#define TEST_DOWNLOAD_SUPPORT_H

// Shared by the tests of the downloads: an image server on loopback that the configuration
// points at for the lifetime of the fixture.

#include "configuration.h"
#include "faketasks.h"
#include "testhttpserver.h"

#include <QByteArray>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Bytes that differ from offset to offset, so a shifted or mixed file does not pass.
inline QByteArray patternBytes(int size, int seed = 0)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + seed * 17 + (i >> 8)) & 0xff);
    return bytes;
}

inline QByteArray readFileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

class ImageServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        ASSERT_TRUE(dir.isValid());
        m_SavedUrl = Configuration::imageServerBaseUrl;
        Configuration::imageServerBaseUrl = server.baseUrl() + QStringLiteral("images/");
    }

    void TearDown() override { Configuration::imageServerBaseUrl = m_SavedUrl; }

    // Server path of a file of the given version.
    static QString imagePath(int version, const QString &remoteName)
    {
        return QStringLiteral("/images/%1/%2").arg(version).arg(remoteName);
    }

    QString local(const QString &name) const { return dir.filePath(name); }

    TestHttpServer server;
    QNetworkAccessManager manager;
    QTemporaryDir dir;

private:
    QString m_SavedUrl;
};

#endif // TEST_DOWNLOAD_SUPPORT_H
