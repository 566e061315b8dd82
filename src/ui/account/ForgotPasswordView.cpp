#include "ui/account/ForgotPasswordView.h"

#include "backend/APIClient.h"
#include "model/AuthMessages.h"
#include "ui/account/FormField.h"
#include "ui/common/Style.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {
constexpr int minimumPasswordLength = 8;
constexpr int codeLength = 6;

void startDetached(QCoro::Task<> task)
{
    Q_UNUSED(task);
}

MessageRow *messageRow(const QString &symbol, const QColor &color, const QString &name, QWidget *parent)
{
    auto *row = new MessageRow(symbol, color, false, parent);
    row->setObjectName(name);
    row->setFontPoints(12);
    if (auto *view = row->findChild<SymbolView *>())
        view->setPoints(11);
    row->setFixedWidth(Layout::formColumnWidth);
    return row;
}

FilledButton *actionButton(const QString &title, const QString &name, QWidget *parent)
{
    auto *button = new FilledButton(title, parent);
    button->setObjectName(name);
    button->setColor(Style::accent());
    button->setFontPoints(14);
    button->setFixedSize(Layout::formColumnWidth, Layout::formControlHeight);
    return button;
}
} // namespace

bool ResetForm::isEmailUsable() const
{
    return email.contains(u'@');
}

QString ResetForm::trimmedEmail() const
{
    return FormText::trimmedBlanks(email);
}

bool ResetForm::canResetPassword() const
{
    return FormText::characterCount(code) == codeLength
        && FormText::characterCount(newPassword) >= minimumPasswordLength && newPassword == confirmPassword;
}

bool ResetForm::showsLengthHint() const
{
    const int length = FormText::characterCount(newPassword);
    return length > 0 && length < minimumPasswordLength;
}

QString ResetForm::subtitle(ResetStep step)
{
    return step == ResetStep::requestCode ? ForgotPasswordView::tr("Enter your email to receive a reset code")
                                          : ForgotPasswordView::tr("Enter the code and your new password");
}

ForgotPasswordView::ForgotPasswordView(APIClient &apiClient, QString prefillEmail, QWidget *parent)
    : QDialog(parent)
    , m_api(apiClient)
    , m_subtitle(new QLabel(this))
    , m_errorRow(messageRow(u"exclamationmark.triangle.fill"_s, Style::orange(), u"errorRow"_s, this))
    , m_successRow(messageRow(u"checkmark.circle.fill"_s, Style::green(), u"successRow"_s, this))
    , m_requestPage(new QWidget(this))
    , m_newPasswordPage(new QWidget(this))
    , m_emailField(new FormField(u"envelope"_s, tr("Email address"), u"emailField"_s, false, m_requestPage))
    , m_sendButton(actionButton(tr("Send Reset Code"), u"sendButton"_s, m_requestPage))
    , m_codeField(new FormField(u"number"_s, tr("6-digit code"), u"codeField"_s, false, m_newPasswordPage))
    , m_newPasswordField(new FormField(u"lock"_s, tr("New password"), u"newPasswordField"_s, true, m_newPasswordPage))
    , m_confirmField(new FormField(u"lock.badge.checkmark"_s, tr("Confirm password"), u"confirmPasswordField"_s, true,
                                   m_newPasswordPage))
    , m_lengthHint(new QLabel(tr("Password must be at least 8 characters"), m_newPasswordPage))
    , m_resetButton(actionButton(tr("Reset Password"), u"resetButton"_s, m_newPasswordPage))
    , m_cancelButton(new QPushButton(tr("Cancel"), this))
{
    setObjectName(u"forgotPasswordView"_s);
    setWindowTitle(tr("Reset Password"));

    auto *column = accountSheetColumn(this, u"key.fill"_s, 40, tr("Reset Password"));
    m_subtitle->setObjectName(u"subtitleText"_s);
    m_subtitle->setFont(Style::font(13));
    Style::setSecondaryText(m_subtitle);
    column->addWidget(m_subtitle, 0, Qt::AlignHCenter);

    column->addWidget(m_errorRow);
    column->addWidget(m_successRow);

    auto *requestLayout = new QVBoxLayout(m_requestPage);
    requestLayout->setContentsMargins(0, 0, 0, 0);
    requestLayout->setSpacing(12);
    m_emailField->setFixedWidth(Layout::formColumnWidth);
    m_emailField->setText(prefillEmail);
    requestLayout->addWidget(m_emailField);
    requestLayout->addWidget(m_sendButton);
    column->addWidget(m_requestPage);

    auto *newPasswordLayout = new QVBoxLayout(m_newPasswordPage);
    newPasswordLayout->setContentsMargins(0, 0, 0, 0);
    newPasswordLayout->setSpacing(10);
    for (FormField *field : {m_codeField, m_newPasswordField, m_confirmField}) {
        field->setFixedWidth(Layout::formColumnWidth);
        newPasswordLayout->addWidget(field);
    }
    m_lengthHint->setObjectName(u"lengthHint"_s);
    m_lengthHint->setFont(Style::font(11));
    Style::setSecondaryText(m_lengthHint);
    newPasswordLayout->addWidget(m_lengthHint);
    newPasswordLayout->addSpacing(2);
    newPasswordLayout->addWidget(m_resetButton);
    column->addWidget(m_newPasswordPage);

    // Return in a field must not press Cancel: no push button here is the
    // dialog's default.
    m_cancelButton->setObjectName(u"cancelButton"_s);
    m_cancelButton->setAutoDefault(false);
    column->addWidget(m_cancelButton, 0, Qt::AlignHCenter);

    QObject::connect(m_sendButton, &QAbstractButton::clicked, this, &ForgotPasswordView::sendResetCode);
    QObject::connect(m_emailField->edit(), &QLineEdit::returnPressed, this, &ForgotPasswordView::sendResetCode);
    QObject::connect(m_resetButton, &QAbstractButton::clicked, this, &ForgotPasswordView::resetPassword);
    QObject::connect(m_confirmField->edit(), &QLineEdit::returnPressed, this, &ForgotPasswordView::resetPassword);
    // Return in the code and new-password fields moves on to the next field.
    QObject::connect(m_codeField->edit(), &QLineEdit::returnPressed, this, [this] { m_newPasswordField->setFocus(); });
    QObject::connect(m_newPasswordField->edit(), &QLineEdit::returnPressed, this, [this] { m_confirmField->setFocus(); });
    QObject::connect(m_cancelButton, &QAbstractButton::clicked, this, &QDialog::reject);
    for (FormField *field : {m_emailField, m_codeField, m_newPasswordField, m_confirmField})
        QObject::connect(field->edit(), &QLineEdit::textChanged, this, &ForgotPasswordView::refresh);

    m_emailField->setFocus();
    refresh();
}

ResetForm ForgotPasswordView::form() const
{
    return ResetForm{m_emailField->text(), m_codeField->text(), m_newPasswordField->text(), m_confirmField->text()};
}

void ForgotPasswordView::beginRequest()
{
    m_isLoading = true;
    m_errorMessage.reset();
    m_successMessage.reset();
    emit isLoadingChanged(true);
    refresh();
}

void ForgotPasswordView::sendResetCode()
{
    const ResetForm fields = form();
    if (!fields.isEmailUsable() || m_isLoading || m_step != ResetStep::requestCode)
        return;
    beginRequest();
    startDetached(requestCode(fields.trimmedEmail()));
}

void ForgotPasswordView::resetPassword()
{
    const ResetForm fields = form();
    if (!fields.canResetPassword() || m_isLoading || m_step != ResetStep::enterNewPassword)
        return;
    beginRequest();
    startDetached(submitNewPassword(fields.trimmedEmail(), fields.code, fields.newPassword));
}

QCoro::Task<> ForgotPasswordView::requestCode(QString email)
{
    // The sheet may be closed while the request runs.
    QPointer<ForgotPasswordView> self(this);
    std::optional<QString> failure;
    try {
        auto request = m_api.post<MessageResponse>(ApiPath::forgotPassword, ForgotPasswordRequest(email), false);
        co_await std::move(request);
    } catch (const std::exception &error) {
        failure = errorDescription(error);
    }
    if (!self)
        co_return;
    m_isLoading = false;
    if (failure) {
        m_errorMessage = tr("Failed to send reset code: %1").arg(*failure);
    } else {
        m_successMessage = tr("Reset code sent to %1").arg(email);
        m_step = ResetStep::enterNewPassword;
        emit stepChanged(m_step);
        m_codeField->setFocus();
    }
    emit isLoadingChanged(false);
    refresh();
}

QCoro::Task<> ForgotPasswordView::submitNewPassword(QString email, QString code, QString newPassword)
{
    QPointer<ForgotPasswordView> self(this);
    std::optional<QString> failure;
    try {
        auto request = m_api.post<MessageResponse>(ApiPath::resetPassword,
                                                   ResetPasswordRequest(email, code, newPassword), false);
        co_await std::move(request);
    } catch (const std::exception &error) {
        failure = errorDescription(error);
    }
    if (!self)
        co_return;
    if (failure) {
        m_isLoading = false;
        m_errorMessage = tr("Reset failed: %1").arg(*failure);
        emit isLoadingChanged(false);
        refresh();
        co_return;
    }
    // The success row stays in view for a moment before the sheet closes;
    // the button keeps its spinner until then.
    m_successMessage = tr("Password reset successful! You can now sign in.");
    refresh();
    QTimer::singleShot(closeDelayMs, this, [this] {
        accept();
        m_isLoading = false;
        emit isLoadingChanged(false);
        refresh();
    });
}

void ForgotPasswordView::refresh()
{
    const ResetForm fields = form();
    m_subtitle->setText(ResetForm::subtitle(m_step));

    m_errorRow->setVisible(m_errorMessage.has_value());
    m_errorRow->setMessage(m_errorMessage.value_or(QString()));
    m_successRow->setVisible(m_successMessage.has_value());
    m_successRow->setMessage(m_successMessage.value_or(QString()));

    m_requestPage->setVisible(m_step == ResetStep::requestCode);
    m_newPasswordPage->setVisible(m_step == ResetStep::enterNewPassword);

    m_sendButton->setFaint(!fields.isEmailUsable());
    m_sendButton->setBusy(m_isLoading);
    m_sendButton->setEnabled(!m_isLoading);

    m_lengthHint->setVisible(fields.showsLengthHint());
    m_resetButton->setFaint(!fields.canResetPassword());
    m_resetButton->setBusy(m_isLoading);
    m_resetButton->setEnabled(!m_isLoading);
}
