#pragma once

#include <QFrame>
#include <QLineEdit>
#include <QString>

class QVBoxLayout;
class SymbolView;

// Rules for the text typed into the account forms.
namespace FormText {

// The text without spaces and tabs (any Unicode space separator) at either
// end. Line breaks cannot be typed into a one-line field, so they are left alone.
QString trimmedBlanks(const QString &text);

// The number of characters a person sees (grapheme clusters): "ä" typed as one
// or two code points counts 1, an emoji counts 1 although it takes two UTF-16
// units and four UTF-8 bytes.
int characterCount(const QString &text);

} // namespace FormText

// The column of an account sheet (e-mail verification, password reset): fixed
// to its content, with the header symbol in the accent colour and the bold
// title centred at its top. The caller adds the rest of the sheet below.
QVBoxLayout *accountSheetColumn(QWidget *sheet, const QString &symbol, int symbolSize, const QString &title);

// One field of an account form: a leading symbol in the secondary colour (20
// points wide) and a frameless one-line text field on a rounded background.
// The line edit is the field's focus proxy, so focusing the row focuses it.
class FormField : public QFrame
{
    Q_OBJECT
public:
    // `editName` becomes the line edit's objectName ("emailField").
    FormField(const QString &symbol, const QString &placeholder, const QString &editName, bool secure,
              QWidget *parent = nullptr);

    QLineEdit *edit() const { return m_edit; }
    SymbolView *symbol() const { return m_symbol; }
    QString text() const { return m_edit->text(); }
    void setText(const QString &text) { m_edit->setText(text); }

protected:
    void paintEvent(QPaintEvent *) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refreshColors();

    SymbolView *m_symbol;
    QLineEdit *m_edit;
};
