#pragma once

#include <QDialog>
#include <QString>
#include <QTimer>

class AuthService;
class FilledButton;
class LinkButton;
class MessageRow;
class QLabel;
class QLineEdit;
class QPushButton;

// Rules of the code field.
namespace VerificationCode {

inline constexpr int length = 6;

// Keeps the characters Unicode classes as decimal digits (category Nd, which
// QChar::isDigit tests: "0"-"9" and the other scripts' digits such as "٣" or
// fullwidth "３"), then the first six of them. Other numeric characters
// ("½", "²", "Ⅻ", "①") are dropped: none is a digit of a code. Digits are
// kept as typed; the backend decides whether it accepts non-ASCII ones.
QString filtered(const QString &text);

// The number of digits in a filtered code (code points, so a digit outside
// the Basic Multilingual Plane counts once).
int digitCount(const QString &code);

// "Resend code in 42s"
QString countdownText(int seconds);

} // namespace VerificationCode

// The sheet in which a newly registered user types the six-digit code that
// was e-mailed to them. Drives AuthService::verifyEmail and resendCode and
// shows the service's errorMessage; a complete code is submitted at once.
//
// Its presenter (LoginView) keeps it open while the service's
// pendingVerificationEmail is set. Cancel clears that address and the error
// and closes the sheet; the resend countdown's timer runs only while the sheet
// is shown.
class EmailVerificationView : public QDialog
{
    Q_OBJECT
public:
    static constexpr int resendCooldownSeconds = 60;

    EmailVerificationView(AuthService &authService, QString email, QWidget *parent = nullptr);

    QString email() const { return m_email; }
    // Only digits, at most six.
    QString code() const { return m_code; }
    // Seconds until "Resend code" is offered again; 0 or less when it is.
    int resendCooldown() const { return m_resendCooldown; }
    bool isResendTimerActive() const { return m_resendTimer->isActive(); }
    // Six digits and no request running.
    bool canVerify() const;

public slots:
    // Calls verifyEmail with the address and the code, if canVerify().
    void verify();
    // Starts the 60-second countdown and calls resendCode.
    void resend();
    // Clears the pending address and the error, then closes the sheet.
    void cancel();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void codeEdited(const QString &text);
    void tick();
    void refresh();

    AuthService &m_auth;
    const QString m_email;
    QString m_code;
    int m_resendCooldown = 0;
    QTimer *m_resendTimer;

    MessageRow *m_errorRow;
    QLineEdit *m_codeField;
    FilledButton *m_verifyButton;
    LinkButton *m_resendButton;
    QLabel *m_countdown;
    QPushButton *m_cancelButton;
};
