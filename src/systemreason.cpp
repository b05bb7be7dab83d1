#include "systemreason.h"

#include <cstring>

QString withSystemReason(const QString &text, const QString &reason)
{
    const QString why = reason.trimmed();
    if (why.isEmpty())
        return text;
    if (text.endsWith(QLatin1Char('.')))
        return text + QStringLiteral(" (") + why + QLatin1Char(')');
    return text + QStringLiteral(": ") + why;
}

QString systemErrorText(int errnum)
{
    return QString::fromLocal8Bit(std::strerror(errnum));
}
