#include "batchstatus.h"

#include "appserver.h"
#include "error.h"
#include "importreport.h"
#include "runreplies.h"
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
            const std::optional<BatchOutcome> b = BatchOutcome::fromReply(row);
            if (!b || !ids.contains(b->id))
                throw Error(text("UNDO_BAD_REPLY").arg(methodName(Method::VerifLotes)));
            if (b->stored)
                stored.insert(b->id);
            for (ImportReport::DayDiet &e : report.entries) {
                if (!e.unknown || e.batchId != b->id)
                    continue;
                e.unknown = false;
                e.stored = b->stored;
                if (!b->stored)
                    e.refusal = b->refusal;
            }
        }
    }
    report.batches += static_cast<int>(stored.size());
    return report.unknownCount();
}

} // namespace zov
