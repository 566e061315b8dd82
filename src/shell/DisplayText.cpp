#include "shell/DisplayText.h"

#include "platform/Log.h"

#include <QTextDocument>

namespace DisplayText {

namespace {

const QChar ellipsis(0x2026);

QString strip(QStringView text, bool multiLine)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n' || u == u'\t' || u == u'\r')
            result.append(multiLine && u != u'\r' ? c : QChar(u' '));
        else if (!Log::isUnsafeCharacter(u))
            result.append(c);
    }
    return result;
}

} // namespace

QString clean(QStringView text, qsizetype limit, bool multiLine, bool *shortened)
{
    // Only the start that can be shown is looked at: a 10 MB value costs no
    // more than a short one.
    const qsizetype looked = limit * 2 + 2;
    QString result = strip(text.left(looked), multiLine);
    const bool cut = result.size() > limit || text.size() > looked;
    if (shortened)
        *shortened = cut;
    if (!cut)
        return result;
    qsizetype keep = qMax<qsizetype>(0, qMin(limit - 1, result.size()));
    if (keep > 0 && keep < result.size() && result[keep].isLowSurrogate())
        --keep;
    return result.left(keep).trimmed() + ellipsis;
}

QString toolTip(QStringView text)
{
    // Qt's own conversion: escaped, line breaks kept, always read as rich text.
    return Qt::convertFromPlainText(clean(text, toolTipLimit, true), Qt::WhiteSpaceNormal);
}

} // namespace DisplayText
