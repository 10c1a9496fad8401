#pragma once

#include <QList>
#include <QString>
#include <QVariantList>

namespace zov {

// The methods of the application server rdmImpCardZov: their positional
// parameters, which are passed by reference, and what kind of value each takes.
// Both ends check every call against this one table.
enum class ArgKind {
    Text,  // a text (may be empty)
    Date,  // a date
    Delta, // a record-set delta, or null when the record set has no changes
};

struct Param
{
    QString name;
    ArgKind kind;
    bool byRef;
};

// The methods, in the table's order: the screen's eleven, the two of the undo, the
// question about batches whose answer was lost, then the reads of a step in one call.
enum class Method {
    GetPesqConfDestino,
    GetCardOrigem,
    GetPrxCardapio,
    GetComensais,
    Dieta,
    VerifCardadia,
    DelPratosDiet,
    SetImportacao,
    GetTemCard,
    Data,
    GetCardadia,
    GetImportacoes,
    DesfazImportacao,
    VerifLotes,
    GetPassoDestino,
};

struct MethodSignature
{
    Method id;
    QString name;
    QList<Param> params;
    // It answers with the rows of a whole month: the client reads the reply outside
    // the call's arena, so that rows are freed one by one as they are converted.
    bool largeReply = false;
    // A short text (ten characters at most) is its answer, not an error: a menu number.
    bool textAnswer = false;
    // It stores a batch of the import: sent again with its own id when its answer is
    // lost (stored once), and not run after a refused one (batchprotocol.h).
    bool batch = false;
    // It reads a step ahead of a run, nothing a batch of that run writes: on a stream,
    // one the caller marks (zov-ahead) may run before the calls sent ahead of it.
    bool ahead = false;
};

// The table: the one list of the server's methods, which both ends use.
const QList<MethodSignature> &methodSignatures();
const MethodSignature *findSignature(const QString &method);
const MethodSignature &signatureOf(Method method);
inline QString methodName(Method method)
{
    return signatureOf(method).name;
}
inline bool isBatch(Method method)
{
    return signatureOf(method).batch;
}
// False for a name the table does not know.
bool isBatch(const QString &method);

// An empty text when `args` match the signature; otherwise what is wrong, in
// Portuguese, naming the parameter.
QString checkArguments(const MethodSignature &signature, const QVariantList &args);

// The longest text argument the server takes (a diet list of every code).
constexpr int kMaxTextArgument = 4000;

} // namespace zov
