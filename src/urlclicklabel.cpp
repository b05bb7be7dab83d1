#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget *parent)
    : QLabel(parent, Qt::WindowFlags())
{ }

void UrlClickLabel::setUrl(const QString &url)
{
    m_Url = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    // Any button opens the address; the label itself has nothing to do with the press.
    Q_UNUSED(event);
    QDesktopServices::openUrl(QUrl(m_Url, QUrl::TolerantMode));
}
