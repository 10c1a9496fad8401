#include "importfixture.h"

#include "dietlist.h"
#include "error.h"

#include <QSqlQuery>

namespace zov::test {

void ImportFixture::seed(const TestDatabase &db)
{
    db.addBranch(QLatin1String(kBranch), QStringLiteral("HOSPITAL DE TESTE"));
    db.addService(QLatin1String(kBranch), QStringLiteral("00001"), QStringLiteral("ALMOÇO"));
    db.addService(QLatin1String(kBranch), QStringLiteral("00002"), QStringLiteral("JANTAR"));
    db.addDiet(QStringLiteral("0001"), QStringLiteral("LIVRE"));
    db.addDiet(QStringLiteral("0002"), QStringLiteral("BRANDA"));
    for (const char *service : {"00001", "00002"}) {
        db.serveDiet(QLatin1String(kBranch), QLatin1String(service), QStringLiteral("0001"));
        db.serveDiet(QLatin1String(kBranch), QLatin1String(service), QStringLiteral("0002"));
    }
    db.addDishType(QStringLiteral("01"), QStringLiteral("SALADA"));
    db.addDishType(QStringLiteral("02"), QStringLiteral("PRATO PRINCIPAL"));
    for (const char *service : {"00001", "00002"}) {
        db.addSlot(QLatin1String(kBranch), QLatin1String(service), march(1), 1,
                   QStringLiteral("01"), 1);
        db.addSlot(QLatin1String(kBranch), QLatin1String(service), march(1), 2,
                   QStringLiteral("01"), 2);
        db.addSlot(QLatin1String(kBranch), QLatin1String(service), march(1), 3,
                   QStringLiteral("02"), 1);
    }
    db.addSlot(QLatin1String(kBranch), QLatin1String(kLunch), april(1), 11, QStringLiteral("01"),
               1);
    db.addSlot(QLatin1String(kBranch), QLatin1String(kLunch), april(1), 12, QStringLiteral("01"),
               2);
    db.addSlot(QLatin1String(kBranch), QLatin1String(kLunch), april(1), 13, QStringLiteral("02"),
               1);
    for (int weekday = 1; weekday <= 7; ++weekday) {
        db.addEstimate(QLatin1String(kBranch), QLatin1String(kLunch), QStringLiteral("0001"),
                       weekday, 150, 100, 30, 20);
        db.addEstimate(QLatin1String(kBranch), QLatin1String(kLunch), QStringLiteral("0002"),
                       weekday, 80, 60, 15, 5);
    }
    db.addShift(QLatin1String(kBranch), QLatin1String(kLunch), QStringLiteral("1"),
                {10, 11, 12, 13, 14, 15, 16, 99});
    db.addShift(QLatin1String(kBranch), QLatin1String(kLunch), QStringLiteral("2"),
                {20, 21, 22, 23, 24, 25, 26, 199});
    for (int day = 4; day <= 6; ++day)
        addSourceDay(db, march(day));
}

ImportFixture::ImportFixture(bool serverOffersStream, bool serverOffersStepReads)
{
    unitValues() = UnitValues();
    seed(db);
    server =
        std::make_unique<TestServer>(db.config(), 16, serverOffersStream, serverOffersStepReads);
    LoginContext &login = loginContext();
    login.operador = QStringLiteral("PLANEJADOR");
    login.connectionName = db.connectionName();
    login.webUrl = QStringLiteral("127.0.0.1");
    login.webPort = server->port();
    login.deadlineMs = 10000;
    login.today = [] { return QDate(2024, 3, 20); };
}

ImportFixture::~ImportFixture()
{
    runner.reset();
    screen.reset();
    server.reset();
    loginContext() = LoginContext();
    unitValues() = UnitValues();
}

void ImportFixture::addSourceDay(const QDate &day, const QString &service)
{
    addSourceDay(db, day, service);
}

void ImportFixture::addSourceDay(const TestDatabase &db, const QDate &day, const QString &service)
{
    // menu numbers follow from what the database holds, so two seeded databases agree
    int number = db.scalar(QStringLiteral("SELECT COUNT(*) FROM CARDADIA")).toInt() + 100;
    const QString branch = QLatin1String(kBranch);
    for (const char *diet : {"0001", "0002"}) {
        const QString nr = QString::number(number++);
        db.addHeader(branch, service, day, QLatin1String(diet), nr, 150);
        db.addDish(branch, nr, QLatin1String(diet), 1, QStringLiteral("S1"),
                   QStringLiteral("ALFACE"), QStringLiteral("01"), 40, 1, day, service);
        db.addDish(branch, nr, QLatin1String(diet), 2, QStringLiteral("S2"),
                   QStringLiteral("TOMATE"), QStringLiteral("01"), 40, 2, day, service);
        db.addDish(branch, nr, QLatin1String(diet), 3, QStringLiteral("P1"),
                   QStringLiteral("FRANGO"), QStringLiteral("02"), 100, 1, day, service);
    }
}

ImpoCardHosp &ImportFixture::open(const QDate &day, int semArredondamento, const QString &service,
                                  const QDate &month)
{
    screen = std::make_unique<ImpoCardHosp>();
    QObject::connect(screen.get(), &ImpoCardHosp::focusRequested,
                     [this](ImpoCardHosp::Control c) { focusMoves.append(c); });
    runner = std::make_unique<ImportRunner>(*screen);
    request = ImportRequest();
    request.branch = QLatin1String(kBranch);
    request.service = service;
    request.day = day;
    request.month = month;
    request.noRounding = semArredondamento != 0;
    runner->open(request);
    return *screen;
}

void ImportFixture::choose(const QDate &from, const QDate &to, bool append, double rounding,
                           const QString &dietList)
{
    request.from = from;
    request.to = to;
    request.mode = append ? ImportRun::Mode::Append : ImportRun::Mode::Overwrite;
    request.rounding = rounding;
    request.diets = dietList.isNull() ? QStringList() : dietListCodes(dietList);
    runner->choose(request);
    if (!dietList.isNull() && dietList.isEmpty()) {
        // "Lista" with nothing picked
        screen->setDietChoice(false, true);
        unitValues().DietasEscolhidas.clear();
        screen->grbDietaExit();
    }
}

bool ImportFixture::import()
{
    presenter.clear();
    focusMoves.clear();
    lastError.clear();
    try {
        runner->import(screen->dryRun());
        return true;
    } catch (const AbortError &) {
        return false;
    } catch (const Error &e) {
        lastError = e.text();
        return false;
    }
}

QString ImportFixture::dishesOf(const QDate &day, const QString &diet) const
{
    QSqlQuery q(db.db());
    q.prepare(QStringLiteral(
        "SELECT C.NRSEQPRATCAR, C.CDPRATO, C.VRPECONSCARD FROM COMPCARD C JOIN CARDADIA H "
        "ON H.CDFILIAL = C.CDFILIAL AND H.NRCARDAPIO = C.NRCARDAPIO AND H.CDDIETPAD = C.CDDIETPAD "
        "WHERE H.CDFILIAL = ? AND H.CDSERVFILI = ? AND H.DTCARDAPIO = ? AND H.CDDIETPAD = ? "
        "ORDER BY C.NRSEQPRATCAR"));
    q.addBindValue(QLatin1String(kBranch));
    q.addBindValue(unitValues().CdServFili);
    q.addBindValue(day);
    q.addBindValue(diet);
    q.exec();
    QStringList dishes;
    while (q.next())
        dishes.append(QStringLiteral("%1:%2:%3")
                          .arg(q.value(0).toInt())
                          .arg(q.value(1).toString())
                          .arg(q.value(2).toDouble(), 0, 'g', 10));
    return dishes.join(QLatin1Char(';'));
}

QVariant ImportFixture::headerValue(const QDate &day, const QString &diet,
                                    const QString &column) const
{
    return db.scalar(
        QStringLiteral("SELECT %1 FROM CARDADIA WHERE CDFILIAL = ? AND CDSERVFILI = ? AND "
                       "DTCARDAPIO = ? AND CDDIETPAD = ?")
            .arg(column),
        {QLatin1String(kBranch), unitValues().CdServFili, day, diet});
}

} // namespace zov::test
