#include "wire.h"

#include "error.h"
#include "texts.h"

#include <QDate>

namespace zov {

namespace {

constexpr int kMaxDepth = 8;

void cellToWire(const QVariant &value, rpc::Value *out)
{
    toWire(value, out);
}

QVariant cellFromWire(const rpc::Value &value)
{
    switch (value.kind_case()) {
    case rpc::Value::kNull:
    case rpc::Value::kText:
    case rpc::Value::kNumber:
    case rpc::Value::kDate:
        return fromWire(value);
    default:
        throw Error(text("WIRE_BAD_CELL"));
    }
}

QVariant fromWireAt(const rpc::Value &value, int depth);

Packet packetFromWire(const rpc::Packet &packet)
{
    Packet result;
    for (const rpc::Field &f : packet.fields()) {
        PacketField field;
        field.name = QString::fromStdString(f.name());
        if (field.name.isEmpty())
            throw Error(text("WIRE_BAD_FIELD").arg(field.name));
        if (!fieldTypeFromName(QString::fromStdString(f.type()), &field.type))
            throw Error(
                text("WIRE_BAD_FIELD_TYPE").arg(field.name, QString::fromStdString(f.type())));
        if (f.size() < 0)
            throw Error(text("WIRE_BAD_FIELD").arg(field.name));
        field.size = f.size();
        result.fields.append(field);
    }
    result.rows.reserve(packet.rows_size());
    for (const rpc::Row &r : packet.rows()) {
        PacketRow row;
        switch (r.kind()) {
        case rpc::NONE:
            row.kind = ChangeKind::None;
            break;
        case rpc::INSERT:
            row.kind = ChangeKind::Insert;
            break;
        case rpc::MODIFY:
            row.kind = ChangeKind::Modify;
            break;
        case rpc::DELETE:
            row.kind = ChangeKind::Delete;
            break;
        default:
            throw Error(
                text("PACKET_BAD_KIND").arg(text("WIRE_PACKET")).arg(result.rows.size() + 1));
        }
        row.values.reserve(r.values_size());
        for (const rpc::Value &v : r.values())
            row.values.append(cellFromWire(v));
        for (const rpc::Value &v : r.original())
            row.original.append(cellFromWire(v));
        result.rows.append(std::move(row));
    }
    checkPacket(text("WIRE_PACKET"), result);
    return result;
}

QVariant fromWireAt(const rpc::Value &value, int depth)
{
    if (depth > kMaxDepth)
        throw Error(text("WIRE_TOO_DEEP"));
    switch (value.kind_case()) {
    case rpc::Value::kNull:
        return {};
    case rpc::Value::kText:
        return QString::fromStdString(value.text());
    case rpc::Value::kNumber:
        return value.number();
    case rpc::Value::kDate: {
        const QString iso = QString::fromStdString(value.date());
        const QDate date = QDate::fromString(iso, QStringLiteral("yyyy-MM-dd"));
        if (!date.isValid())
            throw Error(text("WIRE_BAD_DATE").arg(iso.left(40)));
        return date;
    }
    case rpc::Value::kArray: {
        QVariantList list;
        list.reserve(value.array().values_size());
        for (const rpc::Value &v : value.array().values())
            list.append(fromWireAt(v, depth + 1));
        return list;
    }
    case rpc::Value::kPacket:
        return QVariant::fromValue(packetFromWire(value.packet()));
    case rpc::Value::KIND_NOT_SET:
        break;
    }
    throw Error(text("WIRE_NO_KIND"));
}

} // namespace

void toWire(const Packet &packet, rpc::Packet *out)
{
    out->Clear();
    for (const PacketField &f : packet.fields) {
        rpc::Field *field = out->add_fields();
        field->set_name(f.name.toStdString());
        field->set_type(fieldTypeName(f.type).toStdString());
        field->set_size(f.size);
    }
    out->mutable_rows()->Reserve(static_cast<int>(packet.rows.size()));
    for (const PacketRow &r : packet.rows) {
        rpc::Row *row = out->add_rows();
        switch (r.kind) {
        case ChangeKind::None:
            row->set_kind(rpc::NONE);
            break;
        case ChangeKind::Insert:
            row->set_kind(rpc::INSERT);
            break;
        case ChangeKind::Modify:
            row->set_kind(rpc::MODIFY);
            break;
        case ChangeKind::Delete:
            row->set_kind(rpc::DELETE);
            break;
        }
        row->mutable_values()->Reserve(static_cast<int>(r.values.size()));
        for (const QVariant &v : r.values)
            cellToWire(v, row->add_values());
        for (const QVariant &v : r.original)
            cellToWire(v, row->add_original());
    }
}

void toWire(const QVariant &value, rpc::Value *out)
{
    if (!value.isValid() || value.isNull()) {
        out->mutable_null();
        return;
    }
    switch (value.typeId()) {
    case QMetaType::QString:
        out->set_text(value.toString().toStdString());
        return;
    case QMetaType::QDate:
        out->set_date(value.toDate().toString(QStringLiteral("yyyy-MM-dd")).toStdString());
        return;
    case QMetaType::QDateTime:
        out->set_date(
            value.toDateTime().date().toString(QStringLiteral("yyyy-MM-dd")).toStdString());
        return;
    case QMetaType::QVariantList: {
        rpc::ValueArray *array = out->mutable_array();
        for (const QVariant &v : value.toList())
            toWire(v, array->add_values());
        return;
    }
    case QMetaType::Bool:
        out->set_number(value.toBool() ? 1 : 0);
        return;
    default:
        break;
    }
    if (value.canConvert<Packet>() && value.typeId() == qMetaTypeId<Packet>()) {
        toWire(value.value<Packet>(), out->mutable_packet());
        return;
    }
    bool ok = false;
    const double d = value.toDouble(&ok);
    if (ok) {
        out->set_number(d);
        return;
    }
    out->set_text(value.toString().toStdString());
}

QVariant fromWire(const rpc::Value &value)
{
    return fromWireAt(value, 0);
}

Packet fromWire(const rpc::Packet &packet)
{
    return packetFromWire(packet);
}

} // namespace zov
