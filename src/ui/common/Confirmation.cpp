#include "ui/common/Confirmation.h"

#include "ui/common/Style.h"

#include <QPushButton>

using namespace Qt::StringLiterals;

QMessageBox *makeConfirmation(QWidget *parent, const QString &objectName, const QString &title,
                              const QString &message, const QString &destructiveTitle)
{
    auto *box = new QMessageBox(QMessageBox::Warning, title, message, QMessageBox::NoButton, parent);
    box->setObjectName(objectName);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *cancel = box->addButton(QMessageBox::tr("Cancel"), QMessageBox::RejectRole);
    QPushButton *confirm = box->addButton(destructiveTitle, QMessageBox::DestructiveRole);
    cancel->setObjectName(u"cancelButton"_s);
    confirm->setObjectName(u"confirmButton"_s);
    QPalette palette = confirm->palette();
    palette.setColor(QPalette::ButtonText, Style::red());
    confirm->setPalette(palette);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

QAbstractButton *destructiveButton(const QMessageBox *box)
{
    return box->findChild<QPushButton *>(u"confirmButton"_s);
}
