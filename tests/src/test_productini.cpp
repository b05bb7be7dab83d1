#include "configuration.h"
#include "faketasks.h"
#include "fileops_test_support.h"
#include "productini.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(ProductIniRules, FileNameFollowsTheUpdateStep)
{
    EXPECT_EQ(ProductIni::fileName(0), QString("update_macosx.ini"));
    EXPECT_EQ(ProductIni::fileName(1), QString("qvx_client_macosx.ini"));
    Configuration configuration;
    configuration.tempDir = "/tmp/session";
    configuration.clientUpdate = 1;
    EXPECT_EQ(ProductIni::filePath(configuration), QString("/tmp/session/qvx_client_macosx.ini"));
}

TEST(ProductIniRules, ValuesSplitAtDoubleColonsKeepingEmptyFields)
{
    const struct
    {
        const char *value;
        QStringList fields;
    } cases[] = {
        {"abc::12", {"abc", "12"}},
        {"abc::", {"abc", ""}},
        {"", {""}},
        {"a::::b", {"a", "", "b"}},
        {"a:b::c", {"a:b", "c"}},
        {"::", {"", ""}},
        {"h::1::i::2::Contents/MacOS/x", {"h", "1", "i", "2", "Contents/MacOS/x"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(ProductIni::splitFields(c.value), c.fields);
    }
}

TEST(ProductIniRules, SizesAreDecimalOrZero)
{
    const struct
    {
        const char *text;
        quint64 size;
    } cases[] = {
        {"0", 0},
        {"12", 12},
        {"18446744073709551615", std::numeric_limits<quint64>::max()},
        {"18446744073709551616", 0},
        {"", 0},
        {"abc", 0},
        {"-1", 0},
        {"12k", 0},
        {"0x10", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ProductIni::sizeFromText(c.text), c.size);
    }
}

TEST(ProductIniRules, SectionKindsAndPatchKeysAreCaseSensitive)
{
    EXPECT_EQ(ProductIni::sectionKind("delete"), ProductIni::DeleteSection);
    EXPECT_EQ(ProductIni::sectionKind("preinstall"), ProductIni::PreinstallSection);
    EXPECT_EQ(ProductIni::sectionKind("postinstall"), ProductIni::PostinstallSection);
    for (const char *section : {"common_client", "macosx", "Delete", "PREINSTALL", ""})
        EXPECT_EQ(ProductIni::sectionKind(section), ProductIni::FileSection) << section;

    for (const char *key : {"a_patch_", "_patch_", "Contents/MacOS/app_patch_"})
        EXPECT_TRUE(ProductIni::isPatchKey(key)) << key;
    for (const char *key : {"a_PATCH_", "a_patch", "a_patch_x", "patch"})
        EXPECT_FALSE(ProductIni::isPatchKey(key)) << key;
}

TEST(ProductIniRules, DeleteModes)
{
    enum Effect { None, Plain, Recursive };
    const struct
    {
        int mode;
        Effect effect;
    } cases[] = {
        {-7, Plain}, {0, Plain}, {1, Plain},  {2, Recursive}, {3, Plain},
        {9, Plain},  {10, None}, {11, Plain}, {12, None},     {1000, None},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(ProductIni::deleteModeRemoves(c.mode), c.effect != None);
        if (c.effect != None) {
            EXPECT_EQ(ProductIni::deleteModeIsRecursive(c.mode), c.effect == Recursive);
        }
    }
}

TEST(ProductIniRules, OsNames)
{
    const struct
    {
        const char *name;
        int code;
    } cases[] = {
        {"win32", 1}, {"win64", 2}, {"linux32", 3}, {"LINUX64", 4}, {"mac", 5},
        {"Mac", 5},   {"macos", 0}, {"", 0},        {" mac", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(osCodeFromName(c.name), c.code) << c.name;
    EXPECT_EQ(currentOsCode(), 5);
}

TEST(ProductIniRules, CommandLines)
{
    const struct
    {
        QStringList items;
        bool present;
        QStringList arguments;
        bool required;
        int times;
    } cases[] = {
        {{}, false, {}, true, 0},
        {{"mac"}, true, {}, true, 1},
        {{"mac", "", "optional"}, true, {""}, false, 1},
        {{"mac", "-a::-b", "Optional"}, true, {"-a", "-b"}, true, 1},
        {{"mac::MAC", "x", "optional", "ignored"}, true, {"x"}, false, 2},
        {{"win32::linux64", "x"}, true, {"x"}, true, 0},
        {{""}, true, {}, true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.items.join('|').toStdString());
        const ProductIni::Command command = ProductIni::parseCommand(c.items);
        EXPECT_EQ(command.present, c.present);
        EXPECT_EQ(command.arguments, c.arguments);
        EXPECT_EQ(command.required, c.required);
        EXPECT_EQ(ProductIni::timesForThisPlatform(command.osList), c.times);
    }
}

TEST(ProductIniRules, InstallDirPlaceholderIsReplacedEverywhere)
{
    EXPECT_EQ(ProductIni::substituteInstallDir(
                  {"__QVX_DIR__a:__QVX_DIR__b", "-x", "__qvx_dir__", "__QVX_DIR_"}, "/c/"),
              QStringList({"/c/a:/c/b", "-x", "__qvx_dir__", "__QVX_DIR_"}));
}

TEST(ProductIniRules, OnlyKeysInsideSectionsCount)
{
    const struct
    {
        const char *text;
        int count;
    } cases[] = {
        {"[macosx]\na=1\nb/c=2\n[delete]\nx=0\n", 3},
        {"top=1\nother=2\n", 0},
        {"top=1\n[preinstall]\ntool=mac\n[empty]\n", 1},
        {"", 0},
    };
    QTemporaryDir dir;
    int index = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        // A new file each time: the settings cache knows a file by its name.
        const QString path = dir.filePath(QString("product%1.ini").arg(index++));
        ASSERT_TRUE(writeTestFile(path, c.text));
        QSettings settings(path, QSettings::IniFormat);
        EXPECT_EQ(countProductIniKeys(settings), c.count);
        EXPECT_TRUE(settings.group().isEmpty());
    }
    QSettings missing(dir.filePath("missing.ini"), QSettings::IniFormat);
    EXPECT_EQ(countProductIniKeys(missing), 0);
}

} // namespace
