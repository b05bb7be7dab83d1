// A label that opens a web address in the desktop's browser when it is clicked.
#ifndef URLCLICKLABEL_H
#define URLCLICKLABEL_H

#include <QLabel>
#include <QString>

class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url);
    QString url() const { return m_Url; }

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString m_Url;
};

#endif // URLCLICKLABEL_H
