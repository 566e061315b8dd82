#pragma once

#include "ui/account/EmailVerificationView.h"
#include "ui/account/ForgotPasswordView.h"

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <optional>

class APIClient;
class AuthService;
class FilledButton;
class FormField;
class LinkButton;
class MessageRow;
class QLineEdit;

// The focus targets of the form, in order.
enum class LoginField { email, password, confirmPassword };

// What the sign-in form decides from its fields and its mode.
struct LoginForm
{
    QString email;
    QString password;
    QString confirmPassword;
    bool isRegistering = false;

    // The address as sent: spaces and tabs trimmed from both ends.
    QString trimmedEmail() const;
    // A trimmed address that is not empty and contains "@", a password of at
    // least 8 characters (characters, not bytes) and, when registering, an
    // identical confirmation.
    bool isFormValid() const;
    // Registering with a password of 1 to 7 characters.
    bool showsLengthNote() const;

    static QString subtitle(bool isRegistering);
    static QString mainButtonTitle(bool isRegistering);
    // Markdown: "Don't have an account? **Sign Up**" / "Already have an account? **Sign In**".
    static QString modeSwitchText(bool isRegistering);
};

// The mode switch under the main button: a label (its text is Markdown, all
// of it ours) that acts as a button, by mouse or by the space bar when it has
// focus; an accent outline shows the focus.
class LoginModeSwitch : public QLabel
{
    Q_OBJECT
public:
    explicit LoginModeSwitch(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_pressed = false;
};

// The screen shown while the user is signed out: one form that signs in or
// creates an account, switched by the link under the button. It drives
// AuthService::login and registerAccount, shows the service's errorMessage,
// and presents two window-modal sheets: the e-mail verification while the
// service's pendingVerificationEmail is set (closing it clears the address),
// and the password reset after "Forgot password?".
//
// The form is a column 380 points wide, centred in whatever space the view gets.
class LoginView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int columnWidth = 380;

    // `apiClient` serves the password-reset sheet.
    LoginView(AuthService &authService, APIClient &apiClient, QWidget *parent = nullptr);
    ~LoginView() override;

    LoginForm form() const;
    bool isRegistering() const { return m_isRegistering; }
    bool isFormValid() const { return form().isFormValid(); }
    std::optional<LoginField> focusedField() const;
    bool showForgotPassword() const { return !m_resetSheet.isNull(); }

    // The open sheets; null when closed.
    EmailVerificationView *verificationSheet() const { return m_verificationSheet; }
    ForgotPasswordView *forgotPasswordSheet() const { return m_resetSheet; }

public slots:
    // The main button: creates the account in registration mode, signs in otherwise.
    void submit();
    void signIn();
    void createAccount();
    // Toggles the mode, empties the confirmation and clears the service's
    // error; the address and the password stay.
    void toggleMode();
    // Opens the password-reset sheet with the typed address.
    void openForgotPassword();

signals:
    void isRegisteringChanged(bool isRegistering);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void returnInPassword();
    void returnInConfirmation();
    void syncVerificationSheet();
    void closeVerificationSheet();
    void refresh();
    void refreshColors();

    AuthService &m_auth;
    APIClient &m_api;
    bool m_isRegistering = false;
    QPointer<EmailVerificationView> m_verificationSheet;
    QPointer<ForgotPasswordView> m_resetSheet;

    QLabel *m_subtitle;
    FormField *m_emailField;
    FormField *m_passwordField;
    FormField *m_confirmField;
    QLabel *m_lengthNote;
    LinkButton *m_forgotButton;
    MessageRow *m_errorRow;
    FilledButton *m_mainButton;
    LoginModeSwitch *m_modeSwitch;
    LinkButton *m_termsButton;
    LinkButton *m_privacyButton;
};
