#include "filter.h"

#include "error.h"
#include "texts.h"

namespace zov {

QString QuotedStr(const QString &value)
{
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

namespace {

class FilterParser
{
public:
    explicit FilterParser(const QString &text)
        : m_text(text)
    {}

    QList<FilterTerm> parse()
    {
        QList<FilterTerm> terms;
        skipBlanks();
        if (atEnd())
            fail();
        for (;;) {
            FilterTerm term;
            term.field = identifier();
            skipBlanks();
            if (!take(QLatin1Char('=')))
                fail();
            skipBlanks();
            term.literal = literal();
            terms.append(term);
            skipBlanks();
            if (atEnd())
                return terms;
            if (identifier().compare(QLatin1String("AND"), Qt::CaseInsensitive) != 0)
                fail();
            skipBlanks();
        }
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek() const { return atEnd() ? QChar() : m_text.at(m_pos); }

    bool take(QChar c)
    {
        if (peek() != c)
            return false;
        ++m_pos;
        return true;
    }

    void skipBlanks()
    {
        while (!atEnd() && peek().isSpace())
            ++m_pos;
    }

    QString identifier()
    {
        const qsizetype start = m_pos;
        while (!atEnd() && (peek().isLetterOrNumber() || peek() == QLatin1Char('_')))
            ++m_pos;
        if (m_pos == start)
            fail();
        return m_text.mid(start, m_pos - start);
    }

    QString literal()
    {
        if (take(QLatin1Char('\''))) {
            QString value;
            for (;;) {
                if (atEnd())
                    fail();
                const QChar c = m_text.at(m_pos++);
                if (c != QLatin1Char('\'')) {
                    value.append(c);
                } else if (take(QLatin1Char('\''))) {
                    value.append(c);
                } else {
                    return value;
                }
            }
        }
        const qsizetype start = m_pos;
        while (!atEnd() &&
               (peek().isDigit() || peek() == QLatin1Char('.') || peek() == QLatin1Char('-')))
            ++m_pos;
        if (m_pos == start)
            fail();
        return m_text.mid(start, m_pos - start);
    }

    [[noreturn]] void fail() const
    {
        throw Error(text("FILTER_SYNTAX").arg(m_text).arg(m_pos + 1));
    }

    const QString &m_text;
    qsizetype m_pos = 0;
};

} // namespace

QList<FilterTerm> parseFilter(const QString &text)
{
    return FilterParser(text).parse();
}

} // namespace zov
