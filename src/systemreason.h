// Failure texts that say why: the updater's own text first, then the system's reason.
#ifndef SYSTEMREASON_H
#define SYSTEMREASON_H

#include <QString>

// text followed by the reason: "Could not copy 'a' to 'b': No space left on device". A text that
// ends a sentence gets the reason in parentheses. An empty reason leaves the text as it is.
QString withSystemReason(const QString &text, const QString &reason);

// The system's text for an errno value, as strerror gives it.
QString systemErrorText(int errnum);

#endif // SYSTEMREASON_H
