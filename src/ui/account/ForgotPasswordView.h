#pragma once

#include <QDialog>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

class APIClient;
class FilledButton;
class FormField;
class MessageRow;
class QLabel;
class QPushButton;

// The two steps of the password reset, in order.
enum class ResetStep { requestCode, enterNewPassword };

// What the reset form decides from its fields.
struct ResetForm
{
    QString email;
    QString code;
    QString newPassword;
    QString confirmPassword;

    // The address contains "@".
    bool isEmailUsable() const;
    // The address as sent: spaces and tabs trimmed from both ends.
    QString trimmedEmail() const;
    // A code of exactly 6 characters, a new password of at least 8 characters
    // and an identical confirmation.
    bool canResetPassword() const;
    // A new password of 1 to 7 characters.
    bool showsLengthHint() const;

    static QString subtitle(ResetStep step);
};

// The sheet in which a user who forgot the password asks for a reset code by
// e-mail and then sets a new password with that code. Two unauthenticated
// POSTs through APIClient ("/auth/forgot-password", "/auth/reset-password");
// it signs nobody in and touches no stored token. It moves to the second
// step only after the code was sent, and closes itself 1.5 s after a
// successful reset (the success row stays visible until then).
class ForgotPasswordView : public QDialog
{
    Q_OBJECT
public:
    static constexpr int closeDelayMs = 1500;

    // The e-mail field starts with `prefillEmail` (what the sign-in form held).
    ForgotPasswordView(APIClient &apiClient, QString prefillEmail, QWidget *parent = nullptr);

    ResetStep step() const { return m_step; }
    bool isLoading() const { return m_isLoading; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    std::optional<QString> successMessage() const { return m_successMessage; }
    ResetForm form() const;

public slots:
    // Asks for a reset code; nothing happens without "@" or while a request runs.
    void sendResetCode();
    // Sets the new password; nothing happens unless the form allows it or while a request runs.
    void resetPassword();

signals:
    void stepChanged(ResetStep step);
    void isLoadingChanged(bool isLoading);

private:
    QCoro::Task<> requestCode(QString email);
    QCoro::Task<> submitNewPassword(QString email, QString code, QString newPassword);
    void beginRequest();
    void refresh();

    APIClient &m_api;
    ResetStep m_step = ResetStep::requestCode;
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_successMessage;

    QLabel *m_subtitle;
    MessageRow *m_errorRow;
    MessageRow *m_successRow;
    QWidget *m_requestPage;
    QWidget *m_newPasswordPage;
    FormField *m_emailField;
    FilledButton *m_sendButton;
    FormField *m_codeField;
    FormField *m_newPasswordField;
    FormField *m_confirmField;
    QLabel *m_lengthHint;
    FilledButton *m_resetButton;
    QPushButton *m_cancelButton;
};
