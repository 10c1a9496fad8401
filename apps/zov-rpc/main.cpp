// zov-rpc: calls one method of the application server with JSON arguments and
// prints the answer (the value and the by-reference arguments) as JSON.

#include "commandline.h"
#include "error.h"
#include "hostcontext.h"
#include "jsonvalue.h"
#include "rpcconnection.h"
#include "signatures.h"
#include "texts.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {

// The arguments as JSON values; a date is {"date":"YYYY-MM-DD"}.
QVariantList arguments(const QStringList &texts)
{
    QVariantList args;
    try {
        for (const QString &json : texts) {
            QJsonParseError parseError;
            const QJsonDocument doc =
                QJsonDocument::fromJson(QByteArray("[") + json.toUtf8() + "]", &parseError);
            if (doc.isNull() || doc.array().size() != 1)
                throw zov::UsageError(zov::text("CLI_BAD_JSON").arg(json.left(80)),
                                      zov::UsageError::Usage::Left);
            args.append(zov::fromJson(doc.array().at(0)));
        }
    } catch (const zov::UsageError &) {
        throw;
    } catch (const zov::Error &e) {
        throw zov::UsageError(e.text(), zov::UsageError::Usage::Left);
    }
    return args;
}

int run(const QStringList &words, QTextStream &out, QTextStream &)
{
    zov::CommandLine options("server deadline-ms ca token-file", "");
    if (!options.parse(words) || options.positional().isEmpty())
        throw zov::UsageError(options.error());
    // the address, the CA and the token as every client reads them; 127.0.0.1:8211
    // unless --server says otherwise
    zov::LoginContext &login = zov::loginContext();
    if (const QString problem = zov::readServerOptions(options, login); !problem.isEmpty())
        throw zov::UsageError(problem, zov::UsageError::Usage::Left);
    zov::RpcConnection::Options connection;
    connection.host = login.webUrl;
    connection.port = login.webPort;
    connection.caFile = login.caFile;
    connection.token = login.token;
    connection.deadlineMs = login.deadlineMs; // ZOV_CALL_DEADLINE_MS, as every client
    if (options.has(QStringLiteral("deadline-ms")))
        connection.deadlineMs = options.value(QStringLiteral("deadline-ms")).toInt();

    const QString method = options.positional().first();
    QVariantList args = arguments(options.positional().mid(1));
    zov::RpcConnection rpc;
    rpc.setOptions(connection);
    rpc.setCheckSignatures(false);
    rpc.setRawAnswers(true);
    rpc.open();
    const QVariant value = rpc.invoke(method, args);
    // the by-reference arguments as the server left them
    const zov::MethodSignature *signature = zov::findSignature(method);
    QJsonObject byRef;
    for (int i = 0; i < args.size(); ++i) {
        if (!signature || (i < signature->params.size() && signature->params.at(i).byRef))
            byRef.insert(QString::number(i), zov::toJson(args.at(i)));
    }
    QJsonObject answer{{QStringLiteral("value"), zov::toJson(value)},
                       {QStringLiteral("byRef"), byRef}};
    out << QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Indented));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return zov::runTool(app.arguments(), "USAGE_RPC", "USAGE_RPC_DETAILS", run);
}
