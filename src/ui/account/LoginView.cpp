#include "ui/account/LoginView.h"

#include "backend/AuthService.h"
#include "ui/account/EmailVerificationView.h"
#include "ui/account/ForgotPasswordView.h"
#include "ui/account/FormField.h"
#include "ui/common/Style.h"
#include "ui/common/Website.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {
constexpr int minimumPasswordLength = 8;

void startDetached(QCoro::Task<> task)
{
    Q_UNUSED(task);
}
} // namespace

QString LoginForm::trimmedEmail() const
{
    return FormText::trimmedBlanks(email);
}

bool LoginForm::isFormValid() const
{
    const QString address = trimmedEmail();
    if (address.isEmpty() || !address.contains(u'@'))
        return false;
    if (FormText::characterCount(password) < minimumPasswordLength)
        return false;
    return !isRegistering || password == confirmPassword;
}

bool LoginForm::showsLengthNote() const
{
    const int length = FormText::characterCount(password);
    return isRegistering && length > 0 && length < minimumPasswordLength;
}

QString LoginForm::subtitle(bool isRegistering)
{
    return isRegistering ? LoginView::tr("Create your account") : LoginView::tr("Welcome back");
}

QString LoginForm::mainButtonTitle(bool isRegistering)
{
    return isRegistering ? LoginView::tr("Create Account") : LoginView::tr("Sign In");
}

QString LoginForm::modeSwitchText(bool isRegistering)
{
    return isRegistering ? LoginView::tr("Already have an account? **Sign In**")
                         : LoginView::tr("Don't have an account? **Sign Up**");
}

LoginModeSwitch::LoginModeSwitch(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::MarkdownText);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    // Room for the focus outline around the text.
    setContentsMargins(6, 2, 6, 2);
}

void LoginModeSwitch::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_pressed = true;
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void LoginModeSwitch::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_pressed) {
        m_pressed = false;
        event->accept();
        // Like a button: a press dragged off the label does nothing.
        if (rect().contains(event->position().toPoint()))
            emit clicked();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void LoginModeSwitch::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Style::withAlpha(Style::accent(), 0.8), 1.5));
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 5, 5);
}

void LoginModeSwitch::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        event->accept();
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

LoginView::LoginView(AuthService &authService, APIClient &apiClient, QWidget *parent)
    : QWidget(parent)
    , m_auth(authService)
    , m_api(apiClient)
{
    setObjectName(u"loginView"_s);
    auto *column = new QWidget(this);
    column->setObjectName(u"loginColumn"_s);
    column->setFixedWidth(columnWidth);

    auto *headerSymbol = new SymbolView(u"shield.lefthalf.filled"_s, Style::accent(), 44, column);
    headerSymbol->setObjectName(u"headerSymbol"_s);
    auto *title = new QLabel(tr("Velorin VPN"), column);
    title->setObjectName(u"titleText"_s);
    title->setFont(Style::font(24, QFont::Bold));
    m_subtitle = new QLabel(column);
    m_subtitle->setObjectName(u"subtitleText"_s);
    m_subtitle->setFont(Style::font(14));

    m_emailField = new FormField(u"envelope"_s, tr("Email address"), u"emailField"_s, false, column);
    m_passwordField = new FormField(u"lock"_s, tr("Password"), u"passwordField"_s, true, column);
    m_confirmField = new FormField(u"lock"_s, tr("Confirm password"), u"confirmPasswordField"_s, true, column);
    m_lengthNote = new QLabel(tr("Password must be at least 8 characters"), column);
    m_lengthNote->setObjectName(u"lengthNote"_s);
    m_lengthNote->setFont(Style::font(11));

    m_forgotButton = new LinkButton(tr("Forgot password?"), column);
    m_forgotButton->setObjectName(u"forgotPasswordButton"_s);
    m_forgotButton->setFontPoints(12);

    m_errorRow = new MessageRow(u"exclamationmark.triangle.fill"_s, Style::orange(), true, column);
    m_errorRow->setObjectName(u"errorRow"_s);

    m_mainButton = new FilledButton(QString(), column);
    m_mainButton->setObjectName(u"mainButton"_s);
    m_mainButton->setColor(Style::accent());
    m_mainButton->setFontPoints(15);
    m_mainButton->setFixedHeight(40);

    m_modeSwitch = new LoginModeSwitch(column);
    m_modeSwitch->setObjectName(u"modeSwitch"_s);
    m_modeSwitch->setFont(Style::font(13));

    m_termsButton = new LinkButton(tr("Terms of Service"), column);
    m_termsButton->setObjectName(u"termsButton"_s);
    m_termsButton->setFontPoints(11);
    m_privacyButton = new LinkButton(tr("Privacy Policy"), column);
    m_privacyButton->setObjectName(u"privacyButton"_s);
    m_privacyButton->setFontPoints(11);

    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(headerSymbol, 0, Qt::AlignHCenter);
    layout->addSpacing(2);
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(m_subtitle, 0, Qt::AlignHCenter);
    layout->addSpacing(14);
    layout->addWidget(m_emailField);
    layout->addWidget(m_passwordField);
    layout->addWidget(m_confirmField);
    layout->addWidget(m_lengthNote);
    layout->addWidget(m_forgotButton, 0, Qt::AlignRight);
    layout->addWidget(m_errorRow);
    layout->addSpacing(4);
    layout->addWidget(m_mainButton);
    layout->addSpacing(2);
    layout->addWidget(m_modeSwitch, 0, Qt::AlignHCenter);
    layout->addSpacing(10);
    auto *links = new QHBoxLayout;
    links->setSpacing(16);
    links->addStretch();
    links->addWidget(m_termsButton);
    links->addWidget(m_privacyButton);
    links->addStretch();
    layout->addLayout(links);

    // The column sits in the middle of whatever space the view gets.
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(column);
    row->addStretch(1);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(Layout::pageMargins);
    outer->addStretch(1);
    outer->addLayout(row);
    outer->addStretch(1);

    // Return moves from field to field and submits from the last one.
    QObject::connect(m_emailField->edit(), &QLineEdit::returnPressed, this, [this] { m_passwordField->setFocus(); });
    QObject::connect(m_passwordField->edit(), &QLineEdit::returnPressed, this, &LoginView::returnInPassword);
    QObject::connect(m_confirmField->edit(), &QLineEdit::returnPressed, this, &LoginView::returnInConfirmation);
    for (FormField *field : {m_emailField, m_passwordField, m_confirmField})
        QObject::connect(field->edit(), &QLineEdit::textChanged, this, &LoginView::refresh);

    QObject::connect(m_mainButton, &QAbstractButton::clicked, this, &LoginView::submit);
    QObject::connect(m_modeSwitch, &LoginModeSwitch::clicked, this, &LoginView::toggleMode);
    QObject::connect(m_forgotButton, &QAbstractButton::clicked, this, &LoginView::openForgotPassword);
    QObject::connect(m_errorRow, &MessageRow::dismissed, this, [this] { m_auth.setErrorMessage(std::nullopt); });
    QObject::connect(m_termsButton, &QAbstractButton::clicked, this, [] { Website::open(Website::termsOfService()); });
    QObject::connect(m_privacyButton, &QAbstractButton::clicked, this, [] { Website::open(Website::privacyPolicy()); });

    QObject::connect(&m_auth, &AuthService::isLoadingChanged, this, &LoginView::refresh);
    QObject::connect(&m_auth, &AuthService::errorMessageChanged, this, &LoginView::refresh);
    QObject::connect(&m_auth, &AuthService::pendingVerificationEmailChanged, this, &LoginView::syncVerificationSheet);

    setFocusProxy(m_emailField);
    refreshColors();
    refresh();
    // A pending address from before this view existed still needs its sheet;
    // it opens once the view is on screen.
    if (m_auth.pendingVerificationEmail())
        QMetaObject::invokeMethod(this, &LoginView::syncVerificationSheet, Qt::QueuedConnection);
}

LoginView::~LoginView()
{
    // The sheets go first, without reporting back to a view that is going away.
    for (QDialog *sheet : {static_cast<QDialog *>(m_verificationSheet.data()), static_cast<QDialog *>(m_resetSheet.data())}) {
        if (sheet) {
            QObject::disconnect(sheet, nullptr, this, nullptr);
            delete sheet;
        }
    }
}

LoginForm LoginView::form() const
{
    return LoginForm{m_emailField->text(), m_passwordField->text(), m_confirmField->text(), m_isRegistering};
}

std::optional<LoginField> LoginView::focusedField() const
{
    if (m_emailField->edit()->hasFocus())
        return LoginField::email;
    if (m_passwordField->edit()->hasFocus())
        return LoginField::password;
    if (m_confirmField->edit()->hasFocus())
        return LoginField::confirmPassword;
    return std::nullopt;
}

void LoginView::submit()
{
    if (m_isRegistering)
        createAccount();
    else
        signIn();
}

void LoginView::signIn()
{
    const LoginForm fields = form();
    if (!fields.isFormValid() || m_auth.isLoading())
        return;
    startDetached(m_auth.login(fields.trimmedEmail(), fields.password));
}

void LoginView::createAccount()
{
    const LoginForm fields = form();
    if (!fields.isFormValid() || m_auth.isLoading())
        return;
    startDetached(m_auth.registerAccount(fields.trimmedEmail(), fields.password));
}

void LoginView::toggleMode()
{
    m_isRegistering = !m_isRegistering;
    m_confirmField->setText(QString());
    m_auth.setErrorMessage(std::nullopt);
    emit isRegisteringChanged(m_isRegistering);
    refresh();
}

void LoginView::returnInPassword()
{
    if (m_isRegistering)
        m_confirmField->setFocus();
    else
        signIn();
}

void LoginView::returnInConfirmation()
{
    createAccount();
}

void LoginView::keyPressEvent(QKeyEvent *event)
{
    // Return is the main button's shortcut wherever the focus is, except in
    // the fields, which handle it themselves (QLineEdit passes it on).
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (isReturn && !(event->modifiers() & ~Qt::KeypadModifier)) {
        if (!focusedField())
            submit();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void LoginView::openForgotPassword()
{
    if (m_resetSheet) {
        m_resetSheet->raise();
        return;
    }
    auto *sheet = new ForgotPasswordView(m_api, m_emailField->text(), this);
    sheet->setWindowModality(Qt::WindowModal);
    QObject::connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (m_resetSheet == sheet)
            m_resetSheet = nullptr;
        sheet->deleteLater();
    });
    m_resetSheet = sheet;
    sheet->open();
}

void LoginView::syncVerificationSheet()
{
    const auto pending = m_auth.pendingVerificationEmail();
    if (m_verificationSheet && pending != m_verificationSheet->email())
        closeVerificationSheet();
    if (!pending || m_verificationSheet)
        return;

    auto *sheet = new EmailVerificationView(m_auth, *pending, this);
    sheet->setWindowModality(Qt::WindowModal);
    // Closed by the user (Cancel, Escape, the window's close button): the
    // address is no longer pending.
    QObject::connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (m_verificationSheet != sheet)
            return;
        m_verificationSheet = nullptr;
        sheet->deleteLater();
        if (m_auth.pendingVerificationEmail() == sheet->email())
            m_auth.setPendingVerificationEmail(std::nullopt);
    });
    m_verificationSheet = sheet;
    sheet->open();
}

void LoginView::closeVerificationSheet()
{
    EmailVerificationView *sheet = m_verificationSheet;
    m_verificationSheet = nullptr;
    sheet->deleteLater();
    sheet->accept();
}

void LoginView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        refreshColors();
    QWidget::changeEvent(event);
}

void LoginView::refreshColors()
{
    Style::setTextColor(m_subtitle, Style::secondaryText(this));
    Style::setTextColor(m_lengthNote, Style::secondaryText(this));
    Style::setTextColor(m_modeSwitch, Style::secondaryText(this));
}

void LoginView::refresh()
{
    const LoginForm fields = form();
    m_subtitle->setText(LoginForm::subtitle(m_isRegistering));
    m_confirmField->setVisible(m_isRegistering);
    m_lengthNote->setVisible(fields.showsLengthNote());
    m_forgotButton->setVisible(!m_isRegistering);

    const auto error = m_auth.errorMessage();
    m_errorRow->setVisible(error.has_value());
    m_errorRow->setMessage(error.value_or(QString()));

    const bool loading = m_auth.isLoading();
    m_mainButton->setText(LoginForm::mainButtonTitle(m_isRegistering));
    m_mainButton->setBusy(loading);
    m_mainButton->setEnabled(fields.isFormValid() && !loading);
    // An incomplete form draws the button faint, clearly inert on a dark background too.
    m_mainButton->setFaint(!fields.isFormValid());

    m_modeSwitch->setText(LoginForm::modeSwitchText(m_isRegistering));
}
