#include "wire.h"

#include "dates.h"
#include "error.h"
#include "texts.h"

#include <QDate>

#include <optional>
#include <string_view>

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
QVariant takeFromWireAt(rpc::Value *value, int depth);

// A date as the wire carries it, YYYY-MM-DD.
QDate dateFromWire(std::string_view wire)
{
    const QString iso = QString::fromUtf8(wire.data(), qsizetype(wire.size()));
    const QDate date = parseIsoDate(iso);
    if (!date.isValid())
        throw Error(text("WIRE_BAD_DATE").arg(iso.left(40)));
    return date;
}

PacketRow rowFromWire(const rpc::Row &r, int rowNumber)
{
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
        throw Error(text("PACKET_BAD_KIND").arg(text("WIRE_PACKET")).arg(rowNumber));
    }
    row.values.reserve(r.values_size());
    for (const rpc::Value &v : r.values())
        row.values.append(cellFromWire(v));
    for (const rpc::Value &v : r.original())
        row.original.append(cellFromWire(v));
    return row;
}

QList<PacketField> fieldsFromWire(const rpc::Packet &packet)
{
    QList<PacketField> fields;
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
        fields.append(field);
    }
    return fields;
}

bool sentInColumns(const rpc::Packet &packet)
{
    return packet.columns_size() > 0 || packet.row_count() != 0;
}

// A text or date column sent as one string of its values.
bool isJoined(const rpc::Column &column)
{
    return column.ends_size() > 0 || !column.joined().empty();
}

// Each value ends where the one before ended or after it, the last within the string.
bool endsInOrder(const rpc::Column &column)
{
    quint32 before = 0;
    for (const quint32 end : column.ends()) {
        if (end < before)
            return false;
        before = end;
    }
    return before <= column.joined().size();
}

// The rows of a packet sent column by column; each column of `owned` (the same
// packet, when given) is freed once converted.
void rowsFromColumns(const rpc::Packet &packet, Packet &result, rpc::Packet *owned)
{
    const int rows = packet.row_count();
    // a packet of rows comes with a column a field (no columns, no rows)
    if (packet.columns_size() != result.fields.size() || packet.columns_size() == 0 ||
        packet.rows_size() != 0 || rows < 0)
        throw Error(text("WIRE_BAD_COLUMNS").arg(packet.columns_size()).arg(result.fields.size()));
    // every column holds a value a row before any row is made: the count cannot ask
    // for more rows than the columns hold
    for (int c = 0; c < packet.columns_size(); ++c) {
        const rpc::Column &column = packet.columns(c);
        const PacketField &field = result.fields.at(c);
        const bool numbers = field.type == FieldType::Float;
        const bool joined = isJoined(column);
        const int values = numbers  ? column.numbers_size()
                           : joined ? column.ends_size()
                                    : column.texts_size();
        const bool others = numbers  ? column.texts_size() != 0 || joined
                            : joined ? column.texts_size() != 0 || column.numbers_size() != 0
                                     : column.numbers_size() != 0;
        if (values != rows || others ||
            (!column.nulls().empty() && column.nulls().size() != size_t(rows)) ||
            (joined && !endsInOrder(column)))
            throw Error(text("WIRE_BAD_COLUMN").arg(field.name).arg(rows));
    }
    result.rows.resize(rows);
    for (PacketRow &row : result.rows)
        row.values.reserve(result.fields.size());
    for (int c = 0; c < packet.columns_size(); ++c) {
        const rpc::Column &column = packet.columns(c);
        const PacketField &field = result.fields.at(c);
        const bool numbers = field.type == FieldType::Float;
        const bool joined = isJoined(column);
        const std::string &nulls = column.nulls();
        // a text or date that repeats the row before shares its value: codes, days and
        // names come in runs, and the rows then hold one copy of each
        std::optional<std::string_view> before;
        QVariant shared;
        quint32 start = 0;
        for (int i = 0; i < rows; ++i) {
            QVariantList &values = result.rows[i].values;
            std::string_view text;
            if (!numbers) {
                if (joined) {
                    const quint32 end = column.ends(i);
                    text = std::string_view(column.joined()).substr(start, end - start);
                    start = end;
                } else {
                    text = column.texts(i);
                }
            }
            if (!nulls.empty() && nulls[size_t(i)] != 0) {
                values.append(QVariant());
            } else if (numbers) {
                values.append(column.numbers(i));
            } else {
                if (!before || *before != text) {
                    shared = field.type == FieldType::Text
                                 ? QVariant(QString::fromUtf8(text.data(), qsizetype(text.size())))
                                 : QVariant(dateFromWire(text));
                    before = text;
                }
                values.append(shared);
            }
        }
        if (owned)
            rpc::Column().Swap(owned->mutable_columns(c));
    }
}

// Converts a packet and frees its rows as it goes, last first, so that a large
// answer is not held twice.
Packet takePacketFromWire(rpc::Packet *packet)
{
    Packet result;
    result.fields = fieldsFromWire(*packet);
    if (sentInColumns(*packet)) {
        rowsFromColumns(*packet, result, packet);
        checkPacket(text("WIRE_PACKET"), result);
        return result;
    }
    const int rows = packet->rows_size();
    result.rows.resize(rows);
    for (int i = rows - 1; i >= 0; --i) {
        result.rows[i] = rowFromWire(packet->rows(i), i + 1);
        packet->mutable_rows()->RemoveLast();
    }
    checkPacket(text("WIRE_PACKET"), result);
    return result;
}

Packet packetFromWire(const rpc::Packet &packet)
{
    Packet result;
    result.fields = fieldsFromWire(packet);
    if (sentInColumns(packet)) {
        rowsFromColumns(packet, result, nullptr);
        checkPacket(text("WIRE_PACKET"), result);
        return result;
    }
    result.rows.reserve(packet.rows_size());
    for (int i = 0; i < packet.rows_size(); ++i)
        result.rows.append(rowFromWire(packet.rows(i), i + 1));
    checkPacket(text("WIRE_PACKET"), result);
    return result;
}

QVariant takeFromWireAt(rpc::Value *value, int depth)
{
    if (depth > kMaxDepth)
        throw Error(text("WIRE_TOO_DEEP"));
    if (value->kind_case() == rpc::Value::kPacket)
        return QVariant::fromValue(takePacketFromWire(value->mutable_packet()));
    if (value->kind_case() == rpc::Value::kArray) {
        QVariantList list;
        list.reserve(value->array().values_size());
        for (rpc::Value &v : *value->mutable_array()->mutable_values())
            list.append(takeFromWireAt(&v, depth + 1));
        return list;
    }
    return fromWireAt(*value, depth);
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
    case rpc::Value::kDate:
        return dateFromWire(value.date());
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

namespace {

void fieldsToWire(const Packet &packet, rpc::Packet *out)
{
    out->Clear();
    for (const PacketField &f : packet.fields) {
        rpc::Field *field = out->add_fields();
        field->set_name(f.name.toStdString());
        field->set_type(fieldTypeName(f.type).toStdString());
        field->set_size(f.size);
    }
    out->mutable_rows()->Reserve(static_cast<int>(packet.rows.size()));
}

void rowToWire(const PacketRow &r, rpc::Row *row)
{
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

// Plain rows whose values all have their fields' types, as a column can carry them.
bool fitsColumns(const Packet &packet)
{
    if (packet.fields.isEmpty())
        return false;
    for (const PacketRow &r : packet.rows) {
        if (r.kind != ChangeKind::None || !r.original.isEmpty() ||
            r.values.size() != packet.fields.size())
            return false;
        for (qsizetype c = 0; c < r.values.size(); ++c) {
            const QVariant &v = r.values.at(c);
            if (!v.isValid() || v.isNull())
                continue;
            const FieldType type = packet.fields.at(c).type;
            const int wanted = type == FieldType::Float  ? QMetaType::Double
                               : type == FieldType::Date ? QMetaType::QDate
                                                         : QMetaType::QString;
            if (v.typeId() != wanted)
                return false;
            // a column's date is always YYYY-MM-DD
            if (type == FieldType::Date) {
                const int year = static_cast<const QDate *>(v.constData())->year();
                if (year < 1 || year > 9999)
                    return false;
            }
        }
    }
    return true;
}

// Appends a text's UTF-8: most are ASCII, copied as they are.
void appendUtf8(std::string &out, const QString &text)
{
    const qsizetype size = text.size();
    const QChar *chars = text.constData();
    for (qsizetype i = 0; i < size; ++i) {
        if (chars[i].unicode() >= 0x80) {
            const QByteArray rest = text.sliced(i).toUtf8();
            out.append(rest.constData(), size_t(rest.size()));
            return;
        }
        out.push_back(char(chars[i].unicode()));
    }
}

void columnsToWire(const Packet &packet, rpc::Packet *out, bool joined)
{
    const int rows = static_cast<int>(packet.rows.size());
    out->set_row_count(rows);
    for (qsizetype c = 0; c < packet.fields.size(); ++c) {
        rpc::Column *column = out->add_columns();
        const FieldType type = packet.fields.at(c).type;
        std::string nulls;
        std::string texts;
        // a column's days come in runs: each is written once
        QDate lastDay;
        std::string lastDayText;
        if (type == FieldType::Float)
            column->mutable_numbers()->Reserve(rows);
        else if (joined)
            column->mutable_ends()->Reserve(rows);
        else
            column->mutable_texts()->Reserve(rows);
        for (int i = 0; i < rows; ++i) {
            const QVariant &v = packet.rows.at(i).values.at(c);
            const bool null = !v.isValid() || v.isNull();
            if (null) {
                if (nulls.empty())
                    nulls.assign(size_t(rows), '\0');
                nulls[size_t(i)] = 1;
            }
            if (type == FieldType::Float) {
                column->add_numbers(null ? 0.0 : *static_cast<const double *>(v.constData()));
                continue;
            }
            // a null text or date takes an empty place
            std::string *cell = joined ? &texts : column->add_texts();
            if (!null && type == FieldType::Text) {
                const auto &text = *static_cast<const QString *>(v.constData());
                if (joined)
                    appendUtf8(texts, text);
                else
                    *cell = text.toStdString();
            } else if (!null) {
                const QDate &day = *static_cast<const QDate *>(v.constData());
                if (day != lastDay) {
                    lastDay = day;
                    lastDayText = isoDate(day).toStdString();
                }
                cell->append(lastDayText);
            }
            if (joined)
                column->add_ends(quint32(texts.size()));
        }
        if (!nulls.empty())
            column->set_nulls(std::move(nulls));
        if (joined && type != FieldType::Float)
            column->set_joined(std::move(texts));
    }
}

} // namespace

void toWire(const Packet &packet, rpc::Packet *out)
{
    fieldsToWire(packet, out);
    for (const PacketRow &r : packet.rows)
        rowToWire(r, out->add_rows());
}

void moveToWire(Packet &packet, rpc::Packet *out, PacketForm form)
{
    fieldsToWire(packet, out);
    if (form != PacketForm::Rows && !packet.rows.isEmpty() && fitsColumns(packet)) {
        columnsToWire(packet, out, form == PacketForm::JoinedTexts);
        packet.rows.clear();
        return;
    }
    for (PacketRow &r : packet.rows) {
        rowToWire(r, out->add_rows());
        r = PacketRow(); // frees the row's values at once
    }
    packet.rows.clear();
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
        out->set_date(isoDate(value.toDate()).toStdString());
        return;
    case QMetaType::QDateTime:
        out->set_date(isoDate(value.toDateTime().date()).toStdString());
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

QVariant takeFromWire(rpc::Value *value)
{
    return takeFromWireAt(value, 0);
}

void moveToWire(QVariant &value, rpc::Value *out, PacketForm form)
{
    if (value.typeId() == qMetaTypeId<Packet>()) {
        // the variant's own packet, emptied row by row as the wire form grows
        auto *packet = static_cast<Packet *>(value.data());
        moveToWire(*packet, out->mutable_packet(), form);
        value = QVariant();
        return;
    }
    if (value.typeId() == QMetaType::QVariantList) {
        auto *list = static_cast<QVariantList *>(value.data());
        rpc::ValueArray *array = out->mutable_array();
        for (QVariant &v : *list)
            moveToWire(v, array->add_values(), form);
        value = QVariant();
        return;
    }
    toWire(value, out);
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
