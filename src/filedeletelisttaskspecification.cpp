#include "filedeletelisttaskspecification.h"
#include "configuration.h"
#include "filedeletetaskspecification.h"
#include "pathconfinement.h"
#include "replacelistdata.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<DeleteEntry> *deleteList,
                                                                 Configuration *configuration,
                                                                 QObject *parent, double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_deleteList(deleteList)
    , m_configuration(configuration)
{ }

FileDeleteListTaskSpecification::~FileDeleteListTaskSpecification() = default;

void FileDeleteListTaskSpecification::execute()
{
    emit message(tr("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QDir base(m_configuration->installPath);
    const QList<DeleteEntry> entries = *m_deleteList;
    // Nothing is deleted when one entry leads out of the client folder: a folder link on the
    // way would remove files elsewhere. A link as the last component is removed as a link.
    for (const DeleteEntry &entry : entries) {
        const QString fullPath = QFileInfo(base, entry.m_path).filePath();
        if (!PathConfinement::isSafeRelativePath(entry.m_path)
            || !PathConfinement::staysInside(m_configuration->installPath, fullPath, false)) {
            emit message(PathConfinement::outsideText(fullPath, m_configuration->installPath));
            state = Running;
            fail();
            return;
        }
    }
    const int count = entries.size();
    const double childWeight = count > 0 ? 1.0 / count : 0.0;
    for (const DeleteEntry &entry : entries) {
        const QString fullPath = QFileInfo(base, entry.m_path).filePath();
        // An emptied folder takes its emptied parents along, but never the client folder.
        addSubTask(new FileDeleteTaskSpecification(false, fullPath, entry.m_recursive, this,
                                                   childWeight, m_configuration->installPath));
    }
    state = Running;
    startSubtasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubtasks();
    TaskSpecification::reset();
}
