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

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (zov::answeredHelpOrVersion(app.arguments(), zov::text("USAGE_RPC"),
                                   zov::text("USAGE_RPC_DETAILS"), out))
        return 0;
    zov::CommandLine options({QStringLiteral("server"), QStringLiteral("deadline-ms"),
                              QStringLiteral("ca"), QStringLiteral("token-file")},
                             {});
    if (!options.parse(app.arguments().mid(1)) || options.positional().isEmpty()) {
        if (!options.error().isEmpty())
            err << options.error() << Qt::endl;
        err << zov::text("USAGE_RPC") << Qt::endl;
        return 64;
    }
    // the address, the CA and the token as every client reads them; 127.0.0.1:8211
    // unless --server says otherwise
    zov::LoginContext &login = zov::loginContext();
    if (const QString problem = zov::readServerOptions(options, login); !problem.isEmpty()) {
        err << problem << Qt::endl;
        return 64;
    }
    zov::RpcConnection::Options connection;
    connection.host = login.webUrl;
    connection.port = login.webPort;
    connection.caFile = login.caFile;
    connection.token = login.token;
    connection.deadlineMs = login.deadlineMs; // ZOV_CALL_DEADLINE_MS, as every client
    if (options.has(QStringLiteral("deadline-ms")))
        connection.deadlineMs = options.value(QStringLiteral("deadline-ms")).toInt();

    const QString method = options.positional().first();
    QVariantList args;
    try {
        for (const QString &json : options.positional().mid(1)) {
            QJsonParseError parseError;
            const QJsonDocument doc =
                QJsonDocument::fromJson(QByteArray("[") + json.toUtf8() + "]", &parseError);
            if (doc.isNull() || doc.array().size() != 1) {
                err << zov::text("CLI_BAD_JSON").arg(json.left(80)) << Qt::endl;
                return 64;
            }
            args.append(zov::fromJson(doc.array().at(0)));
        }
    } catch (const zov::Error &e) {
        err << e.text() << Qt::endl;
        return 64;
    }

    zov::RpcConnection rpc;
    rpc.setOptions(connection);
    rpc.setCheckSignatures(false);
    rpc.setRawAnswers(true);
    try {
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
    } catch (const zov::Error &e) {
        err << e.text() << Qt::endl;
        return 1;
    }
    return 0;
}
