#ifndef ASYNCRUN_H
#define ASYNCRUN_H

#include <QRunnable>

class ASyncFunc;

// Carries one worker onto the thread pool; the pool deletes the runnable, and it the worker.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;

    void run() override;

private:
    ASyncFunc *m_Func;
};

#endif // ASYNCRUN_H
