#include "makedownloadreplacelisttaskspecification.h"

#include "makedownloadreplacelistfunc.h"

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration *configuration, ReplaceListData *sharedLists, QObject *parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , m_configuration(configuration)
    , m_sharedLists(sharedLists)
{ }

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification() = default;

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunc()
{
    return new MakeDownloadReplaceListFunc(m_configuration, &m_lists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // A result that arrives after the task was ended some other way must not reach the run.
    if (ok && state == Running) {
        m_sharedLists->m_downloadList = m_lists.m_downloadList;
        m_sharedLists->m_replaceList = m_lists.m_replaceList;
        m_sharedLists->m_deleteList = m_lists.m_deleteList;
        m_sharedLists->m_preinstallList = m_lists.m_preinstallList;
        m_sharedLists->m_postinstallList = m_lists.m_postinstallList;
    }
    ASyncTaskSpecification::runDone(ok);
}
