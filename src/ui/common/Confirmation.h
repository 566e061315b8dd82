#pragma once

#include <QMessageBox>
#include <QString>

// A confirmation with "Cancel" (cancel role, the default and the Escape
// button) and one destructive button in red ("Sign Out", "Remove",
// "Reset"). It is window-modal and deletes itself when closed; callers show
// it with open(), which does not block the event loop, and act in
// buttonClicked when the clicked button is destructiveButton(box).
// The buttons are named "cancelButton" and "confirmButton".
QMessageBox *makeConfirmation(QWidget *parent, const QString &objectName, const QString &title,
                              const QString &message, const QString &destructiveTitle);

// The confirmation's destructive button.
QAbstractButton *destructiveButton(const QMessageBox *box);
