#pragma once

#include <QString>
#include <exception>

namespace zov {

// An error with a Portuguese text meant for the user. Record sets, packets, the
// connection and the server raise it; the host shows its text.
class Error : public std::exception
{
public:
    explicit Error(QString text, QString details = {})
        : m_text(std::move(text))
        , m_details(std::move(details))
        , m_utf8(m_text.toUtf8())
    {}
    const QString &text() const noexcept { return m_text; }
    // for support: what failed where (a call, an address, a status), shown on request
    const QString &details() const noexcept { return m_details; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_text;
    QString m_details;
    QByteArray m_utf8;
};

// The server answered that its database failed: the call was run and stored nothing.
class DatabaseFailure : public Error
{
public:
    using Error::Error;
};

// The server refused a call of a stream for who made it (a credential no longer valid,
// an operator outside their rights) before the call ran: as a failed database, it
// stored nothing of it.
class AccessRefusal : public DatabaseFailure
{
public:
    using DatabaseFailure::DatabaseFailure;
};

} // namespace zov
