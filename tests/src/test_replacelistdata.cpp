#include "replacelistdata.h"

#include <gtest/gtest.h>

namespace {

TEST(ReplaceListRecords, InstalledPathComesFromTheNameSectionAndPrefix)
{
    const struct
    {
        const char *section;
        const char *key;
        const char *installedName;
        const char *prefix;
        const char *expected;
    } cases[] = {
        {"macosx", "Contents/MacOS/app", "", "", "Contents/MacOS/app"},
        {"macosx", "app._lzma2_", "Contents/MacOS/app", "", "Contents/MacOS/app"},
        {"common_client", "lib.dylib", "", "", "SharedSupport/lib.dylib"},
        {"common_client", "x._lzma2_", "Frameworks/x", "", "SharedSupport/Frameworks/x"},
        {"macosx", "Contents/MacOS/app", "", "new_", "Contents/MacOS/new_app"},
        {"macosx", "app", "", "new_", "new_app"},
        {"common_client", "a/b", "", "p", "SharedSupport/a/pb"},
        {"Common_Client", "a", "", "", "a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        const ReplaceEntry entry(c.section, c.key, "hash", 10, c.installedName);
        EXPECT_EQ(entry.localRelativePath(c.prefix), QString(c.expected));
        EXPECT_EQ(entry.hasInstalledName(), *c.installedName != '\0');
        EXPECT_EQ(entry.installedName(), QString(*c.installedName ? c.installedName : c.key));
        EXPECT_FALSE(entry.hasPatch());
    }
    EXPECT_TRUE(ReplaceEntry("s", "k", "h", 1, "n", "k_patch_").hasPatch());
}

TEST(ReplaceListRecords, ClearEmptiesAllFiveLists)
{
    ReplaceListData lists;
    lists.m_downloadList << DownloadEntry("s", "n", "h", 3);
    lists.m_replaceList << ReplaceEntry();
    lists.m_deleteList << DeleteEntry("p", true);
    lists.m_preinstallList << PrePostInstallCmd("cmd", {"a"}, false);
    lists.m_postinstallList << PrePostInstallCmd();
    EXPECT_TRUE(lists.m_deleteList.first().m_recursive);
    EXPECT_FALSE(lists.m_preinstallList.first().m_required);
    lists.clear();
    EXPECT_TRUE(lists.m_downloadList.isEmpty() && lists.m_replaceList.isEmpty()
                && lists.m_deleteList.isEmpty() && lists.m_preinstallList.isEmpty()
                && lists.m_postinstallList.isEmpty());
}

} // namespace
