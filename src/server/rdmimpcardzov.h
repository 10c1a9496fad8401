#pragma once

#include "packet.h"
#include "signatures.h"
#include "sqlsession.h"

#include <QDate>
#include <QHash>
#include <QLoggingCategory>
#include <QString>
#include <QVariant>

#include <array>
#include <chrono>
#include <functional>
#include <mutex>

namespace zov {

// A call whose arguments do not match what the method takes (a delta with other
// fields than its layout, ...). The dispatcher answers INVALID_ARGUMENT.
class InvalidArgument : public std::exception
{
public:
    explicit InvalidArgument(QString text)
        : m_text(std::move(text))
    {}
    const QString &text() const { return m_text; }
    const char *what() const noexcept override { return "invalid argument"; }

private:
    QString m_text;
};

// What travels beside the arguments of a call.
struct CallContext
{
    QString batchId;          // the client's id of a SetImportacao batch
    QString operatorCode;     // who sent it: with operators, the credential's
    QString credential;       // the token the call carries (never logged)
    bool sharedToken = false; // it carried the server's shared token
    QString daySeen;          // "branch|menu number=digest" of the day the batch was decided on
    QString peer;
    QString dryRun;      // the id of a dry run: nothing the call does is kept
    QString configMonth; // "YYYY-MM-01": the month of slots VerifCardadia answers with
    QString runId;       // the client's id of the import run: its batches are kept to be undone
    QString runMode;     // "append" or "overwrite", for the list of runs
    QString runSource;   // "SERVICE;FIRST;LAST" (ISO days) of the run's source, for the audit
    bool changedByRefOnly = false; // the caller keeps its own by-reference arguments
    bool packetColumns = false;    // the caller reads packets sent column by column
    bool joinedTexts = false;      // ... and a column's texts joined in one string
    // the caller's deadline, and when the call's statements are abandoned (a little later)
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    std::chrono::steady_clock::time_point statementLimit =
        std::chrono::steady_clock::time_point::max();
    // The caller has stopped waiting: a batch is not stored any more (it would be
    // stored while the client reports it was not).
    bool expired() const { return std::chrono::steady_clock::now() > deadline; }
};

// One line per stored batch: operator, branch, service, day, diet and rows.
Q_DECLARE_LOGGING_CATEGORY(lcAudit)

// The application server's remote data module: the screen's eleven methods, the
// two of the undo and the question about lost batches (runhistory.h) over SQL. Menus
// (CARDADIA, COMPCARD, CNFCAMES) are read and written only here. Arguments arrive
// checked against the method table; business errors are returned as texts (over
// ten characters), never thrown.
class rdmImpCardZov
{
public:
    explicit rdmImpCardZov(int menuNumberBlock = 16);

    // Runs `method` with arguments that match its signature; throws InvalidArgument or
    // SqlFailure.
    QVariant call(SqlSession &session, Method method, const QVariantList &args,
                  const CallContext &context);

    QVariant GetPesqConfDestino(SqlSession &s, const QString &branch, const QString &service,
                                const QDate &month);
    QVariant GetCardOrigem(SqlSession &s, const QString &branch, const QString &service,
                           const QDate &start, const QDate &end, const QString &diets);
    // In a dry run (`dryRun` its id) a provisional number that nothing reserves.
    QVariant GetPrxCardapio(SqlSession &s, const QString &branch, const QString &service,
                            const QDate &day, const QString &diet, const QString &dryRun = {});
    QVariant GetComensais(SqlSession &s, const QString &branch, const QString &service,
                          const QString &diet, const QDate &day);
    QVariant Dieta(SqlSession &s, const QString &diets, const QString &branch,
                   const QString &service, const QDate &month);
    // The slots of `configMonth`'s configuration (the day's own month when null).
    QVariant VerifCardadia(SqlSession &s, const QDate &day, const QString &branch,
                           const QString &service, const QString &diet,
                           const QDate &configMonth = {});
    QVariant DelPratosDiet(const QString &branch, const QString &service, const QString &diet,
                           const QDate &day);
    QVariant SetImportacao(SqlSession &s, const QVariant &headerDelta, const QVariant &dishDelta,
                           const CallContext &context);
    QVariant GetTemCard(SqlSession &s, const QString &branch, const QString &service,
                        const QDate &month, const QString &diets);
    QVariant Data(SqlSession &s, const QDate &start, const QDate &end, const QString &branch,
                  const QString &service);
    QVariant GetCardadia(SqlSession &s, const QString &branch, const QString &service,
                         const QDate &day, const QString &diets);

private:
    using Handler =
        std::function<QVariant(SqlSession &, const QVariantList &, const CallContext &)>;
    std::array<Handler, 15> m_handlers;

    struct NumberBlock
    {
        qint64 next = 1;
        qint64 last = 0;
    };
    void reserveNumbers(SqlSession &s, const QString &branch, NumberBlock &block);
    QString provisionalNumber(SqlSession &s, const QString &branch, const QString &dryRun);

    const int m_block;
    std::mutex m_numbersMutex;
    QHash<QString, NumberBlock> m_numbers;
    // the next provisional number of each dry run and branch; the oldest runs are
    // forgotten
    QHash<QString, qint64> m_provisional;
    QStringList m_provisionalOrder;
};

} // namespace zov
