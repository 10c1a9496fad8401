#pragma once

#include <QJsonValue>
#include <QVariant>

namespace zov {

// The remote variants as JSON, for zov-rpc and the protocol's documentation:
// a text is a string, a number a number, null is null, an array an array, a date
// {"date": "YYYY-MM-DD"} and a packet {"packet": {"fields": [{"name", "type",
// "size"}], "rows": [[...], ...]}}; a delta row is {"kind": "insert"|"modify"|
// "delete", "values": [...], "original": [...]}.
QJsonValue toJson(const QVariant &value);
// Throws zov::Error naming what does not convert.
QVariant fromJson(const QJsonValue &value);

} // namespace zov
