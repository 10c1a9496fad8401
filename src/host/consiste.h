#pragma once

#include "error.h"

#include <QDate>
#include <QString>
#include <QVariant>

#include <exception>

namespace zov {

// What ended a handler: a check the user must correct, an error text the server
// returned, or a failure of the connection, the database or the program.
enum class AbortKind { Check, Server, Failure };

// The abort that MensErro throws after showing its text. It ends the running
// handler; only the screen's event dispatch and the main of a tool catch it.
class AbortError : public std::exception
{
public:
    AbortError(QString text, AbortKind kind)
        : m_text(std::move(text))
        , m_kind(kind)
    {}
    const QString &text() const noexcept { return m_text; }
    AbortKind kind() const noexcept { return m_kind; }
    const char *what() const noexcept override { return "handler aborted"; }

private:
    QString m_text;
    AbortKind m_kind;
};

// A plain error whose text the application server returned (the source-menu load
// raises it); the event dispatch shows it like any other error.
class ServerTextError : public Error
{
public:
    using Error::Error;
};

// Shows `text` as an error through the current presenter; with `abort` true it
// then throws AbortError and does not return.
void MensErro(const QString &text, bool abort = true, AbortKind kind = AbortKind::Check);

// A remote result that is a non-empty text is an error: shown through MensErro.
// Anything else, the empty text included, is the value to use.
QVariant CheckResultServ(const QVariant &result, bool abort = true, int kind = 0);

// True when an edit's text is unfilled (empty or only blanks).
bool EmptyString(const QString &text);

// Pads `text`, without its surrounding blanks, on the left with zeros to `width`
// characters; a longer text stays as it is. "1" and "1 " become "00001" for a
// service code.
QString Ajusta(const QString &text, int width);

// A service code as the screen pads a typed one: zero-padded on the left to the width
// of CDSERVFILI ("1" is "00001").
int serviceCodeWidth();
QString paddedServiceCode(const QString &typed);

// The branch code rule: not blank and no longer than CDFILIAL. Empty when `code` keeps
// it, else the text that refuses it.
QString branchCodeProblem(const QString &code);

} // namespace zov
