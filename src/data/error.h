#pragma once

#include <QString>
#include <exception>

namespace zov {

// An error with a Portuguese text meant for the user. Record sets, packets, the
// connection and the server raise it; the host shows its text.
class Error : public std::exception
{
public:
    explicit Error(QString text)
        : m_text(std::move(text))
        , m_utf8(m_text.toUtf8())
    {}
    const QString &text() const noexcept { return m_text; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_text;
    QByteArray m_utf8;
};

} // namespace zov
