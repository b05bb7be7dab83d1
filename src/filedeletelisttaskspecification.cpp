#include "filedeletelisttaskspecification.h"
#include "configuration.h"
#include "filedeletetaskspecification.h"
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
    const int count = entries.size();
    const double childWeight = count > 0 ? 1.0 / count : 0.0;
    for (const DeleteEntry &entry : entries) {
        const QString fullPath = QFileInfo(base, entry.m_path).filePath();
        addSubTask(
            new FileDeleteTaskSpecification(false, fullPath, entry.m_recursive, this, childWeight));
    }
    state = Running;
    startSubtasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubtasks();
    TaskSpecification::reset();
}
