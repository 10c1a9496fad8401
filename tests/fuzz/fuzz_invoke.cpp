// The Invoke dispatcher: any call either runs its method or is refused with a
// status; the server keeps its database consistent (foreign keys hold).

#include "appserver.pb.h"
#include "database.h"
#include "dispatcher.h"
#include "fuzzseeds.h"
#include "schema.h"
#include "wire.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QSqlQuery>
#include <grpcpp/support/status.h>

namespace {

zov::Dispatcher *g_dispatcher = nullptr;

void seeds()
{
    using namespace zov;
    const auto write = [](const char *name, const QString &method, const QVariantList &args) {
        rpc::Call call;
        call.set_method(method.toStdString());
        for (const QVariant &a : args)
            toWire(a, call.add_args());
        fuzz::writeSeed(name, call.SerializeAsString());
    };
    const QDate day(2024, 4, 1);
    write("dieta", QStringLiteral("Dieta"),
          {QStringLiteral("_0001_"), QStringLiteral("B1"), QStringLiteral("00001"), day});
    write("verif", QStringLiteral("VerifCardadia"),
          {day, QStringLiteral("B1"), QStringLiteral("00001"), QStringLiteral("0001")});
    write("prx", QStringLiteral("GetPrxCardapio"),
          {QStringLiteral("B1"), QStringLiteral("00001"), day, QStringLiteral("0001")});
    Packet dishes = Packet::forLayout(layout(QStringLiteral("cdsCompCardCache")));
    dishes.rows.append({{QStringLiteral("B1"), day, QStringLiteral("0001"), QStringLiteral("1"),
                         1.0, QStringLiteral("B1"), QStringLiteral("P1"), QStringLiteral("X"), 40.0,
                         QStringLiteral("01"), QStringLiteral("001"), 1.0, QVariant()},
                        ChangeKind::Insert,
                        {}});
    write("batch", QStringLiteral("SetImportacao"), {QVariant(), QVariant::fromValue(dishes)});
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    fuzz::handleSeedRequest(*argc, *argv, seeds);
    QLoggingCategory::setFilterRules(QStringLiteral("zov.server.*=false"));
    const QString path =
        QDir::temp().filePath(QStringLiteral("zov-fuzz-invoke-%1.sqlite").arg(getpid()));
    QFile::remove(path);
    const zov::DatabaseConfig config = zov::DatabaseConfig::parse(path);
    {
        QSqlDatabase db = zov::openDatabase(config, QStringLiteral("fuzz"), zov::OpenMode::Create);
        zov::applySchema(db);
        QSqlQuery q(db);
        q.exec(QStringLiteral("INSERT INTO FILIAL VALUES ('B1', 'H')"));
        q.exec(QStringLiteral("INSERT INTO SERVICO VALUES ('B1', '00001', 'A', 'D', NULL)"));
        q.exec(QStringLiteral("INSERT INTO DIETPADR VALUES ('0001', 'LIVRE')"));
        q.exec(QStringLiteral("INSERT INTO DIETSERV VALUES ('B1', '00001', '0001')"));
        q.exec(QStringLiteral(
            "INSERT INTO CARDADIA (CDFILIAL, CDSERVFILI, DTCARDAPIO, CDDIETPAD, NRCARDAPIO) "
            "VALUES ('B1', '00001', '2024-04-01', '0001', '1')"));
        q.exec(QStringLiteral(
            "INSERT INTO CNFCAMES VALUES ('B1', '00001', '2024-04-01', 1, '01', 1)"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fuzz"));
    g_dispatcher = new zov::Dispatcher(config, 4);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zov::rpc::Call call;
    if (!call.ParseFromArray(data, static_cast<int>(size)))
        return 0;
    zov::rpc::Reply reply;
    zov::CallContext context;
    (void)g_dispatcher->invoke(call, &reply, context);
    return 0;
}
