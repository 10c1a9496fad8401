#include "batchprotocol.h"

namespace zov {

bool isRefusal(const QVariant &answer)
{
    return answer.typeId() == QMetaType::QString && isRefusal(answer.toString());
}

void BatchGate::noteAnswer(const QString &answer, const std::string &kind)
{
    if (isRefusal(answer)) {
        m_refusal = answer;
        m_kind = kind;
    }
}

void BatchGate::noteAnswer(const QVariant &answer)
{
    if (isRefusal(answer))
        noteAnswer(answer.toString());
}

void BatchGate::noteFailure(const QString &why)
{
    m_refusal = why;
    m_kind.clear();
}

} // namespace zov
