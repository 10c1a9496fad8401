#include "consiste.h"

#include "hostcontext.h"
#include "layout.h"
#include "texts.h"

namespace zov {

void MensErro(const QString &text, bool abort, AbortKind kind)
{
    presenter().showError(text);
    if (abort)
        throw AbortError(text, kind);
}

QVariant CheckResultServ(const QVariant &result, bool abort, int)
{
    if (result.typeId() == QMetaType::QString && !result.toString().isEmpty())
        MensErro(result.toString(), abort, AbortKind::Server);
    return result;
}

bool EmptyString(const QString &text)
{
    return text.trimmed().isEmpty();
}

QString Ajusta(const QString &text, int width)
{
    // the blanks an edit leaves around a code are not part of it
    const QString code = text.trimmed();
    return code.size() >= width ? code : QString(width - code.size(), QLatin1Char('0')) + code;
}

int serviceCodeWidth()
{
    return codeWidth(QStringLiteral("CDSERVFILI"));
}

QString paddedServiceCode(const QString &typed)
{
    return Ajusta(typed, serviceCodeWidth());
}

QString branchCodeProblem(const QString &code)
{
    if (code.trimmed().isEmpty() || code.size() > codeWidth(QStringLiteral("CDFILIAL")))
        return text("CLI_BAD_BRANCH").arg(code.left(40));
    return {};
}

} // namespace zov
