#include "ui/account/EmailVerificationView.h"

#include "backend/AuthService.h"
#include "ui/account/FormField.h"
#include "ui/common/PlainLabel.h"
#include "ui/common/Style.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace VerificationCode {

QString filtered(const QString &text)
{
    QString digits;
    int kept = 0;
    for (const char32_t c : text.toUcs4()) {
        if (kept == length)
            break;
        if (!QChar::isDigit(c))
            continue;
        digits.append(QChar::fromUcs4(c));
        ++kept;
    }
    return digits;
}

int digitCount(const QString &code)
{
    return int(code.toUcs4().size());
}

QString countdownText(int seconds)
{
    return EmailVerificationView::tr("Resend code in %1s").arg(seconds);
}

} // namespace VerificationCode

namespace {
// Lets an operation of the service run to its end on its own: a task whose
// handle is dropped keeps running and frees itself when it finishes.
void startDetached(QCoro::Task<> task)
{
    Q_UNUSED(task);
}
} // namespace

EmailVerificationView::EmailVerificationView(AuthService &authService, QString email, QWidget *parent)
    : QDialog(parent)
    , m_auth(authService)
    , m_email(std::move(email))
    , m_resendTimer(new QTimer(this))
    , m_errorRow(new MessageRow(u"exclamationmark.triangle.fill"_s, Style::orange(), false, this))
    , m_codeField(new QLineEdit(this))
    , m_verifyButton(new FilledButton(tr("Verify"), this))
    , m_resendButton(new LinkButton(tr("Resend code"), this))
    , m_countdown(new QLabel(this))
    , m_cancelButton(new QPushButton(tr("Cancel"), this))
{
    setObjectName(u"emailVerificationView"_s);
    setWindowTitle(tr("Verify Your Email"));

    auto *column = accountSheetColumn(this, u"envelope.badge.shield.half.filled"_s, 44, tr("Verify Your Email"));

    auto *sentTo = new QLabel(tr("We sent a 6-digit code to"), this);
    sentTo->setObjectName(u"sentToText"_s);
    sentTo->setFont(Style::font(13));
    Style::setSecondaryText(sentTo);
    auto *address = new PlainLabel(this);
    address->setPlainText(m_email);
    address->setMaximumWidth(360);
    address->setElideMode(Qt::ElideMiddle);
    address->setObjectName(u"emailText"_s);
    address->setFont(Style::font(13, QFont::DemiBold));
    address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *addressLines = new QVBoxLayout;
    addressLines->setSpacing(2);
    addressLines->addWidget(sentTo, 0, Qt::AlignHCenter);
    addressLines->addWidget(address, 0, Qt::AlignHCenter);
    column->addLayout(addressLines);

    m_errorRow->setObjectName(u"errorRow"_s);
    m_errorRow->setFixedWidth(Layout::formColumnWidth);
    column->addWidget(m_errorRow);

    m_codeField->setObjectName(u"codeField"_s);
    m_codeField->setPlaceholderText(tr("Enter 6-digit code"));
    m_codeField->setFont(Style::font(20));
    m_codeField->setAlignment(Qt::AlignCenter);
    m_codeField->setFixedSize(Layout::formColumnWidth, 44);
    m_codeField->setInputMethodHints(Qt::ImhDigitsOnly);
    column->addWidget(m_codeField);

    m_verifyButton->setObjectName(u"verifyButton"_s);
    m_verifyButton->setColor(Style::accent());
    m_verifyButton->setFontPoints(14);
    m_verifyButton->setFixedSize(Layout::formColumnWidth, Layout::formControlHeight);
    column->addWidget(m_verifyButton);

    m_resendButton->setObjectName(u"resendButton"_s);
    m_resendButton->setAutoDefault(false);
    m_resendButton->setFontPoints(13);
    m_countdown->setObjectName(u"resendCountdown"_s);
    m_countdown->setFont(Style::font(13));
    Style::setSecondaryText(m_countdown);
    auto *resendRow = new QHBoxLayout;
    resendRow->addStretch();
    resendRow->addWidget(m_resendButton);
    resendRow->addWidget(m_countdown);
    resendRow->addStretch();
    column->addLayout(resendRow);

    // Return in the code field must not press Cancel: no push button here is
    // the dialog's default.
    m_cancelButton->setObjectName(u"cancelButton"_s);
    m_cancelButton->setAutoDefault(false);
    m_cancelButton->setDefault(false);
    column->addWidget(m_cancelButton, 0, Qt::AlignHCenter);

    m_resendTimer->setObjectName(u"resendTimer"_s);
    m_resendTimer->setInterval(1000);
    QObject::connect(m_resendTimer, &QTimer::timeout, this, &EmailVerificationView::tick);

    QObject::connect(m_codeField, &QLineEdit::textChanged, this, &EmailVerificationView::codeEdited);
    QObject::connect(m_verifyButton, &QAbstractButton::clicked, this, &EmailVerificationView::verify);
    QObject::connect(m_resendButton, &QAbstractButton::clicked, this, &EmailVerificationView::resend);
    QObject::connect(m_cancelButton, &QAbstractButton::clicked, this, &EmailVerificationView::cancel);
    QObject::connect(&m_auth, &AuthService::isLoadingChanged, this, &EmailVerificationView::refresh);
    QObject::connect(&m_auth, &AuthService::errorMessageChanged, this, &EmailVerificationView::refresh);

    m_codeField->setFocus();
    refresh();
}

bool EmailVerificationView::canVerify() const
{
    return VerificationCode::digitCount(m_code) == VerificationCode::length && !m_auth.isLoading();
}

void EmailVerificationView::codeEdited(const QString &text)
{
    const QString digits = VerificationCode::filtered(text);
    if (digits != text) {
        // Writing the filtered text back comes here again with it.
        m_codeField->setText(digits);
        return;
    }
    if (digits == m_code)
        return;
    m_code = digits;
    refresh();
    if (VerificationCode::digitCount(m_code) == VerificationCode::length)
        verify();
}

void EmailVerificationView::verify()
{
    if (!canVerify())
        return;
    startDetached(m_auth.verifyEmail(m_email, m_code));
}

void EmailVerificationView::resend()
{
    m_resendCooldown = resendCooldownSeconds;
    m_resendTimer->start();
    refresh();
    startDetached(m_auth.resendCode(m_email));
}

void EmailVerificationView::cancel()
{
    m_auth.setPendingVerificationEmail(std::nullopt);
    m_auth.setErrorMessage(std::nullopt);
    reject();
}

void EmailVerificationView::tick()
{
    // The countdown stops at 0, where the button returns.
    if (m_resendCooldown > 0)
        --m_resendCooldown;
    if (m_resendCooldown < 1)
        m_resendTimer->stop();
    refresh();
}

void EmailVerificationView::showEvent(QShowEvent *event)
{
    if (m_resendCooldown > 0)
        m_resendTimer->start();
    QDialog::showEvent(event);
}

void EmailVerificationView::hideEvent(QHideEvent *event)
{
    m_resendTimer->stop();
    QDialog::hideEvent(event);
}

void EmailVerificationView::refresh()
{
    const auto error = m_auth.errorMessage();
    m_errorRow->setVisible(error.has_value());
    m_errorRow->setMessage(error.value_or(QString()));

    const bool loading = m_auth.isLoading();
    m_verifyButton->setBusy(loading);
    m_verifyButton->setEnabled(canVerify());

    const bool coolingDown = m_resendCooldown > 0;
    m_resendButton->setVisible(!coolingDown);
    m_countdown->setVisible(coolingDown);
    m_countdown->setText(coolingDown ? VerificationCode::countdownText(m_resendCooldown) : QString());
}
