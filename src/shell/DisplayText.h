#pragma once

#include <QString>
#include <QStringView>

// Text from outside the application (a server's names and messages, a
// stored value, what the user typed) made safe to show. Qt reads a label's
// or tooltip's text as rich text when it looks like markup, and rich text
// loads images and follows links: such text must never reach a widget as it
// came. Every screen, the tray and the notifications take it through here.
namespace DisplayText {

// Bounds in characters: a name, an address or an e-mail; a message; a tooltip
// holding the full text of something shown shortened.
inline constexpr qsizetype nameLimit = 120;
inline constexpr qsizetype messageLimit = 400;
inline constexpr qsizetype toolTipLimit = 2000;

// `text` without the characters Log::isUnsafeCharacter names (NUL, escape
// sequences, bidirectional overrides...), at most `limit` characters, cut
// with "…" at the end (then `*shortened` is set). Newlines and tabs become
// blanks unless `multiLine`.
QString clean(QStringView text, qsizetype limit, bool multiLine = false, bool *shortened = nullptr);

// A tooltip that shows `text` cleaned (up to toolTipLimit) exactly as it
// reads: escaped rich text, since a tooltip has no plain-text mode.
QString toolTip(QStringView text);

} // namespace DisplayText
