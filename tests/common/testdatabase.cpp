#include "testdatabase.h"
#include "schema.h"

#include "testbackend.h"

#include "error.h"
#include "hostcontext.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace zov::test {

TestDatabase::TestDatabase()
{
    m_url = newDatabase(m_dir.path(), QStringLiteral("test"));
    m_config = DatabaseConfig::parse(m_url);
    m_connection = QStringLiteral("test-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    QSqlDatabase db = openDatabase(m_config, m_connection, OpenMode::Create);
    applySchema(db);
}

TestDatabase::~TestDatabase()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    try {
        dropDatabase(m_url);
    } catch (const Error &) {
    }
}

QSqlDatabase TestDatabase::db() const
{
    return QSqlDatabase::database(m_connection, false);
}

void TestDatabase::exec(const QString &sql, const QVariantList &values) const
{
    QSqlQuery q(db());
    if (values.isEmpty()) { // DDL and transaction control are not prepared on PostgreSQL
        if (!q.exec(sql))
            throw Error(QStringLiteral("%1: %2").arg(sql, q.lastError().text()));
        return;
    }
    if (!q.prepare(sql))
        throw Error(QStringLiteral("%1: %2").arg(sql, q.lastError().text()));
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw Error(QStringLiteral("%1: %2").arg(sql, q.lastError().text()));
}

QVariant TestDatabase::scalar(const QString &sql, const QVariantList &values) const
{
    QSqlQuery q(db());
    if (!q.prepare(sql))
        throw Error(QStringLiteral("%1: %2").arg(sql, q.lastError().text()));
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw Error(QStringLiteral("%1: %2").arg(sql, q.lastError().text()));
    return q.next() ? q.value(0) : QVariant();
}

int TestDatabase::count(const QString &table, const QString &where,
                        const QVariantList &values) const
{
    return scalar(QStringLiteral("SELECT COUNT(*) FROM %1%2")
                      .arg(table, where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where),
                  values)
        .toInt();
}

QStringList TestDatabase::dump(const QString &table) const
{
    QSqlQuery q(db());
    if (!q.exec(QStringLiteral("SELECT * FROM %1").arg(table)))
        throw Error(q.lastError().text());
    QStringList rows;
    while (q.next()) {
        QStringList cells;
        for (int i = 0; i < q.record().count(); ++i)
            cells.append(q.value(i).isNull() ? QStringLiteral("<null>") : q.value(i).toString());
        rows.append(cells.join(QLatin1Char('|')));
    }
    rows.sort();
    return rows;
}

void TestDatabase::addBranch(const QString &branch, const QString &name,
                             const QString &idCardiaUtil) const
{
    exec(QStringLiteral("INSERT INTO FILIAL (CDFILIAL, NMFILIAL) VALUES (?, ?)"), {branch, name});
    exec(QStringLiteral("INSERT INTO PARAMPLANEJA (CDFILIAL, IDCARDIAUTIL) VALUES (?, ?)"),
         {branch, idCardiaUtil});
}

void TestDatabase::addService(const QString &branch, const QString &service, const QString &name,
                              const QString &tipo, const QVariant &tipoHosp) const
{
    exec(QStringLiteral(
             "INSERT INTO SERVICO (CDFILIAL, CDSERVFILI, NMSERVICO, IDTIPOSERV, IDTPSERVHOSP) "
             "VALUES (?, ?, ?, ?, ?)"),
         {branch, service, name, tipo, tipoHosp});
}

void TestDatabase::addDiet(const QString &diet, const QString &name) const
{
    exec(QStringLiteral("INSERT INTO DIETPADR (CDDIETPAD, DSDIETPAD) VALUES (?, ?)"), {diet, name});
}

void TestDatabase::serveDiet(const QString &branch, const QString &service,
                             const QString &diet) const
{
    exec(QStringLiteral("INSERT INTO DIETSERV (CDFILIAL, CDSERVFILI, CDDIETPAD) VALUES (?, ?, ?)"),
         {branch, service, diet});
}

void TestDatabase::addDishType(const QString &type, const QString &name) const
{
    exec(QStringLiteral("INSERT INTO TIPOPRAT (CDTIPOPRAT, NMTIPOPRAT) VALUES (?, ?)"),
         {type, name});
}

void TestDatabase::addSlot(const QString &branch, const QString &service, const QDate &month,
                           int seq, const QString &type, int order) const
{
    exec(QStringLiteral(
             "INSERT INTO CNFCAMES (CDFILIAL, CDSERVFILI, DTREFECNFMES, NRSEQCNFMES, CDTIPOPRAT, "
             "NRORDCNFMES) VALUES (?, ?, ?, ?, ?, ?)"),
         {branch, service, month, seq, type, order});
}

void TestDatabase::addHeader(const QString &branch, const QString &service, const QDate &day,
                             const QString &diet, const QString &number, const QVariant &estimate,
                             const QDate &month) const
{
    const QDate ref = month.isValid() ? month : QDate(day.year(), day.month(), 1);
    exec(QStringLiteral(
             "INSERT INTO CARDADIA (CDFILIAL, CDSERVFILI, DTCARDAPIO, CDDIETPAD, NRCARDAPIO, "
             "CDOPERADOR, QTCOMESTICAR, DTMESCARD, DTULTATUACAR) VALUES (?, ?, ?, ?, ?, ?, ?, ?, "
             "?)"),
         {branch, service, day, diet, number, QStringLiteral("SEED"), estimate, ref, day});
}

void TestDatabase::addDish(const QString &branch, const QString &number, const QString &diet,
                           int seq, const QString &dish, const QString &dishName,
                           const QString &type, const QVariant &perCapita, int order,
                           const QDate &day, const QString &service) const
{
    exec(QStringLiteral(
             "INSERT INTO COMPCARD (CDFILIAL, DTCARDAPIO, CDDIETPAD, NRCARDAPIO, NRSEQPRATCAR, "
             "CDFILAUXPRAT, CDPRATO, NMPRATO, VRPECONSCARD, CDTIPOPRAT, NMTIPOPRAT, NRORDPRATCAR, "
             "CDSERVFILI) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
         {branch, day, diet, number, seq, branch, dish, dishName, perCapita, type,
          QStringLiteral("%1%2").arg(order, 3, 10, QLatin1Char('0')).arg(type), order, service});
}

void TestDatabase::addEstimate(const QString &branch, const QString &service, const QString &diet,
                               int weekday, double total, double patients, double staff,
                               double companions) const
{
    exec(QStringLiteral(
             "INSERT INTO ESTIDIETA (CDFILIAL, CDSERVFILI, CDDIETPAD, NRDIASEMANA, QTCOMESTICAR, "
             "QTCLIESTICAR, QTFUNESTICAR, QTDOAESTICAR) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
         {branch, service, diet, weekday, total, patients, staff, companions});
}

void TestDatabase::addShift(const QString &branch, const QString &service, const QString &shift,
                            const QList<double> &v) const
{
    QVariantList values{branch, service, shift};
    for (int i = 0; i < 8; ++i)
        values.append(v.value(i));
    exec(QStringLiteral(
             "INSERT INTO TURNOSERV (CDFILIAL, CDSERVFILI, CDTURNO, QTCOMESTTDOM, QTCOMESTTSEG, "
             "QTCOMESTTTER, QTCOMESTTQUA, QTCOMESTTQUI, QTCOMESTTSEX, QTCOMESTTSAB, QTCOMESTTFER) "
             "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
         values);
}

void TestDatabase::addHoliday(const QString &branch, const QDate &day) const
{
    exec(QStringLiteral("INSERT INTO FERIFILI (CDFILIAL, DTFERIFILI) VALUES (?, ?)"),
         {branch, day});
}

void TestDatabase::addFeriCard(const QString &branch, const QDate &day) const
{
    exec(QStringLiteral("INSERT INTO FERICARD (CDFILIAL, DTFERICARD) VALUES (?, ?)"),
         {branch, day});
}

void TestDatabase::refuseDishes(const QString &condition, const QString &message,
                                const QString &table) const
{
    if (postgres()) {
        exec(QStringLiteral("CREATE FUNCTION refuse_dish() RETURNS trigger AS $$ BEGIN IF %1 THEN "
                            "RAISE EXCEPTION '%2'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql")
                 .arg(condition, message));
        exec(QStringLiteral(
                 "CREATE TRIGGER refuse BEFORE INSERT ON %1 FOR EACH ROW EXECUTE FUNCTION "
                 "refuse_dish()")
                 .arg(table));
    } else {
        exec(QStringLiteral(
                 "CREATE TRIGGER refuse BEFORE INSERT ON %3 WHEN %1 BEGIN SELECT RAISE(ABORT, "
                 "'%2'); END")
                 .arg(condition, message, table));
    }
}

void TestDatabase::allowDishes() const
{
    exec(postgres() ? QStringLiteral("DROP TRIGGER refuse ON COMPCARD")
                    : QStringLiteral("DROP TRIGGER refuse"));
}

void TestDatabase::holdWriteLock() const
{
    if (postgres()) {
        // in the order a batch takes them (its id first): the lock waits for the batch
        // under way, never deadlocks with it
        exec(QStringLiteral("BEGIN"));
        exec(
            QStringLiteral("LOCK TABLE LOTEIMPORT, CARDADIA, COMPCARD, CARDSEQ IN EXCLUSIVE MODE"));
    } else {
        exec(QStringLiteral("BEGIN IMMEDIATE"));
    }
}

void TestDatabase::release() const
{
    exec(QStringLiteral("ROLLBACK"));
}

TestServer::TestServer(const DatabaseConfig &config, int menuNumberBlock, bool offerStream,
                       bool offerStepReads)
{
    AppServerHost::Options options;
    options.listen = QStringLiteral("127.0.0.1:0");
    options.menuNumberBlock = menuNumberBlock;
    options.offerStream = offerStream;
    options.offerStepReads = offerStepReads;
    m_host = std::make_unique<AppServerHost>(config, options);
    m_host->start();
}

TestServer::~TestServer() = default;

RecordingPresenter::RecordingPresenter()
{
    setPresenter(this);
}

RecordingPresenter::~RecordingPresenter()
{
    setPresenter(nullptr);
}

int RecordingPresenter::choose(const QString &title, const PickList &list, const QString &)
{
    titles.append(title);
    lists.append(list);
    return nextChoice;
}

bool RecordingPresenter::chooseMany(const QString &title, const PickList &list, const QList<int> &,
                                    QList<int> *picked)
{
    titles.append(title);
    lists.append(list);
    *picked = nextPicks;
    return acceptMany;
}

void RecordingPresenter::clear()
{
    errors.clear();
    informations.clear();
    warnings.clear();
    titles.clear();
    lists.clear();
}

} // namespace zov::test
