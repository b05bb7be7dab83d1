#include "asyncfunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{ }

ASyncFunc::~ASyncFunc() = default;

bool ASyncFunc::runAndReport()
{
    const bool res = run();
    emit runResult(res);
    return res;
}
