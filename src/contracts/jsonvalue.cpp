#include "jsonvalue.h"

#include "dates.h"
#include "error.h"
#include "packet.h"
#include "texts.h"

#include <QJsonArray>
#include <QJsonObject>

namespace zov {

namespace {

const char *kindName(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Insert:
        return "insert";
    case ChangeKind::Modify:
        return "modify";
    case ChangeKind::Delete:
        return "delete";
    case ChangeKind::None:
        break;
    }
    return "";
}

QJsonArray cells(const QVariantList &values)
{
    QJsonArray array;
    for (const QVariant &v : values)
        array.append(toJson(v));
    return array;
}

QVariantList cellsFrom(const QJsonValue &value)
{
    if (!value.isArray())
        throw Error(text("JSON_BAD_ROW"));
    QVariantList list;
    for (const QJsonValue v : value.toArray())
        list.append(fromJson(v));
    return list;
}

Packet packetFrom(const QJsonObject &obj)
{
    Packet packet;
    for (const QJsonValue f : obj.value(QLatin1String("fields")).toArray()) {
        const QJsonObject fo = f.toObject();
        PacketField field;
        field.name = fo.value(QLatin1String("name")).toString();
        if (!fieldTypeFromName(fo.value(QLatin1String("type")).toString(), &field.type))
            throw Error(text("WIRE_BAD_FIELD_TYPE")
                            .arg(field.name, fo.value(QLatin1String("type")).toString()));
        field.size = fo.value(QLatin1String("size")).toInt();
        packet.fields.append(field);
    }
    for (const QJsonValue r : obj.value(QLatin1String("rows")).toArray()) {
        PacketRow row;
        if (r.isArray()) {
            row.values = cellsFrom(r);
        } else {
            const QJsonObject ro = r.toObject();
            const QString kind = ro.value(QLatin1String("kind")).toString();
            if (kind == QLatin1String("insert"))
                row.kind = ChangeKind::Insert;
            else if (kind == QLatin1String("modify"))
                row.kind = ChangeKind::Modify;
            else if (kind == QLatin1String("delete"))
                row.kind = ChangeKind::Delete;
            else if (!kind.isEmpty())
                throw Error(text("JSON_BAD_KIND").arg(kind));
            row.values = cellsFrom(ro.value(QLatin1String("values")));
            if (ro.contains(QLatin1String("original")))
                row.original = cellsFrom(ro.value(QLatin1String("original")));
        }
        packet.rows.append(row);
    }
    checkPacket(text("WIRE_PACKET"), packet);
    return packet;
}

} // namespace

QJsonValue toJson(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return QJsonValue::Null;
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QDate:
        return QJsonObject{{QStringLiteral("date"), value.toDate().toString(Qt::ISODate)}};
    case QMetaType::QDateTime: // the wire carries whole days
        return QJsonObject{
            {QStringLiteral("date"), value.toDateTime().date().toString(Qt::ISODate)}};
    case QMetaType::QVariantList:
        return cells(value.toList());
    default:
        break;
    }
    if (value.typeId() == qMetaTypeId<Packet>()) {
        const Packet packet = value.value<Packet>();
        QJsonArray fields;
        for (const PacketField &f : packet.fields) {
            QJsonObject fo{{QStringLiteral("name"), f.name},
                           {QStringLiteral("type"), fieldTypeName(f.type)}};
            if (f.type == FieldType::Text)
                fo.insert(QStringLiteral("size"), f.size);
            fields.append(fo);
        }
        QJsonArray rows;
        for (const PacketRow &r : packet.rows) {
            if (r.kind == ChangeKind::None) {
                rows.append(cells(r.values));
                continue;
            }
            QJsonObject ro{{QStringLiteral("kind"), QLatin1String(kindName(r.kind))},
                           {QStringLiteral("values"), cells(r.values)}};
            if (!r.original.isEmpty())
                ro.insert(QStringLiteral("original"), cells(r.original));
            rows.append(ro);
        }
        return QJsonObject{
            {QStringLiteral("packet"),
             QJsonObject{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}}}};
    }
    bool ok = false;
    const double d = value.toDouble(&ok);
    return ok ? QJsonValue(d) : QJsonValue(value.toString());
}

QVariant fromJson(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return {};
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue v : value.toArray())
            list.append(fromJson(v));
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject obj = value.toObject();
        if (obj.contains(QLatin1String("date"))) {
            const QString iso = obj.value(QLatin1String("date")).toString();
            const QDate date = parseIsoDate(iso);
            if (!date.isValid())
                throw Error(text("WIRE_BAD_DATE").arg(iso.left(40)));
            return date;
        }
        if (obj.contains(QLatin1String("packet")))
            return QVariant::fromValue(packetFrom(obj.value(QLatin1String("packet")).toObject()));
        break;
    }
    default:
        break;
    }
    throw Error(text("JSON_BAD_VALUE"));
}

} // namespace zov
