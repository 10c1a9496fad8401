#include "batchstatus.h"

#include "appserver.h"
#include "error.h"
#include "importreport.h"
#include "signatures.h"
#include "texts.h"

#include <QSet>

namespace zov {

int askAboutBatches(AppServer &server, ImportReport &report)
{
    QStringList ids;
    for (const ImportReport::DayDiet &e : std::as_const(report.entries)) {
        if (e.unknown && !e.batchId.isEmpty() && !ids.contains(e.batchId))
            ids.append(e.batchId);
    }
    // as many ids a question as the argument holds
    constexpr int kPerQuestion = 80;
    QSet<QString> stored;
    for (qsizetype first = 0; first < ids.size(); first += kPerQuestion) {
        QVariantList args{ids.mid(first, kPerQuestion).join(QLatin1Char(','))};
        const QVariant reply = server.invoke(Method::VerifLotes, args);
        // a text is the server's (a busy database): nothing is known yet
        if (reply.typeId() != QMetaType::QVariantList)
            throw Error(reply.toString());
        for (const QVariant &row : reply.toList()) {
            const QVariantList r = row.toList();
            if (r.size() != 3 || !ids.contains(r.at(0).toString()))
                throw Error(text("UNDO_BAD_REPLY").arg(methodName(Method::VerifLotes)));
            const QString id = r.at(0).toString();
            const bool isStored = r.at(1).toString() == QLatin1String("stored");
            if (isStored)
                stored.insert(id);
            for (ImportReport::DayDiet &e : report.entries) {
                if (!e.unknown || e.batchId != id)
                    continue;
                e.unknown = false;
                e.stored = isStored;
                if (!isStored)
                    e.refusal = r.at(2).toString();
            }
        }
    }
    report.batches += static_cast<int>(stored.size());
    return report.unknownCount();
}

} // namespace zov
