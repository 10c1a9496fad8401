#pragma once

#include <QString>
#include <QVariant>

#include <string>

namespace zov {

// A method that answers with a text says in it either its answer (a menu number; the
// empty text for a batch stored) or, in more than ten characters, why it refused: the
// server's words for the operator.
constexpr int kMaxTextAnswer = 10;
inline bool isRefusal(const QString &answer)
{
    return answer.size() > kMaxTextAnswer;
}
// A text of more than ten characters; no other value is a refusal.
bool isRefusal(const QVariant &answer);

// The batches of a run go in order, and none is stored after one the server refused:
// those after it get the refused one's answer, unrun. One gate serves one stream of
// calls (or one run of calls made one by one), on either end.
class BatchGate
{
public:
    // Whether the next batch may go.
    bool mayGo() const { return m_refusal.isEmpty(); }
    // Notes what a batch that went answered: a refusal closes the gate. `kind` is how
    // the reply told it (its answer kind), given to the batches stopped after it.
    void noteAnswer(const QString &answer, const std::string &kind = {});
    void noteAnswer(const QVariant &answer);
    // The batch's call failed (the error's text): the gate closes.
    void noteFailure(const QString &why);
    // What a batch that may not go answers, and how.
    const QString &refusal() const { return m_refusal; }
    const std::string &refusalKind() const { return m_kind; }

private:
    QString m_refusal;
    std::string m_kind;
};

} // namespace zov
