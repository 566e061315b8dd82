#pragma once

#include <QString>
#include <QStringList>

// Hides secret values in text that is about to be logged (a response body,
// a request body). Works on raw text, not on a parsed document, so a body that
// is not JSON, is cut short or breaks off inside a value still shows nothing
// of the secret:
//  - `"key": "value"` (any depth, also inside an escaped JSON text `\"key\":\"value\"`)
//    becomes `"key": "***"`; a string that never ends is masked to the end;
//  - an object or array value is replaced by the mask as a whole;
//  - a bare value after `key:` or `key=` (form bodies, plain text) is masked up
//    to the next delimiter.
// Keys match without regard to case and also inside longer names
// ("old_password"). When the text is a whole JSON document, every string
// stored under a secret key is in addition masked wherever a JSON string of
// the same value appears elsewhere, however it is escaped; this also covers
// keys written with escapes (`"access\u005ftoken"`). The work is linear in
// the length of the text, so a hostile body cannot stall the caller.
namespace SecretMask {

inline const QString mask = QStringLiteral("***");

// "access_token", "refresh_token", "password", "new_password".
const QStringList &defaultKeys();

QString apply(const QString &text, const QStringList &keys = defaultKeys());

// The same for the first `length` characters of `text` only, for a log line
// that shows the start of a long body: the work stays proportional to
// `length` apart from one reading of a JSON document (whose secrets are still
// masked wherever they appear in the start). A string cut open at the end
// that may begin a secret is masked to the end.
QString applyToStart(const QString &text, qsizetype length, const QStringList &keys = defaultKeys());

} // namespace SecretMask
