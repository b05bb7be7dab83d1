#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"

#include <QList>

class Configuration;
class DeleteEntry;

// Removes the installed files and folders that the product ini lists for deletion, one at a
// time. A removal that fails is tolerated.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteListTaskSpecification(QList<DeleteEntry> *deleteList, Configuration *configuration,
                                    QObject *parent, double weight);
    ~FileDeleteListTaskSpecification() override;

    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    QList<DeleteEntry> *m_deleteList;
    Configuration *m_configuration;
};

#endif // FILEDELETELISTTASKSPECIFICATION_H
