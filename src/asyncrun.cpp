#include "asyncrun.h"

#include "asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc *func)
    : m_Func(func)
{
    setAutoDelete(true);
}

ASyncRun::~ASyncRun()
{
    delete m_Func;
}

void ASyncRun::run()
{
    m_Func->runAndReport();
}
