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

struct MethodSignature
{
    QString name;
    QList<Param> params;
};

const QList<MethodSignature> &methodSignatures();
const MethodSignature *findSignature(const QString &method);

// An empty text when `args` match the signature; otherwise what is wrong, in
// Portuguese, naming the parameter.
QString checkArguments(const MethodSignature &signature, const QVariantList &args);

// The longest text argument the server takes (a diet list of every code).
constexpr int kMaxTextArgument = 4000;

} // namespace zov
