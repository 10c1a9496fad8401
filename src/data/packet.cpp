#include "packet.h"

#include "dates.h"
#include "error.h"
#include "texts.h"

#include <cmath>

namespace zov {

int Packet::indexOf(const QString &name) const
{
    for (int i = 0; i < fields.size(); ++i) {
        if (fields.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

bool Packet::isDelta() const
{
    for (const PacketRow &row : rows) {
        if (row.kind != ChangeKind::None)
            return true;
    }
    return false;
}

Packet Packet::forLayout(const Layout &layout)
{
    Packet packet;
    for (const FieldDef &def : layout.fields) {
        if (!def.calculated)
            packet.fields.append({def.name, def.type, def.size});
    }
    return packet;
}

namespace {

[[noreturn]] void misfit(const QString &owner, const QString &field, const char *key)
{
    throw Error(text(key).arg(field, owner));
}

bool isNumeric(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

} // namespace

int characterCount(const QString &text)
{
    // widths count characters as the databases do, not UTF-16 units
    int n = 0;
    for (const QChar c : text)
        n += c.isLowSurrogate() ? 0 : 1;
    return n;
}

QVariant fitValue(const QString &owner, const QString &fieldName, FieldType type, int size,
                  const QVariant &value, Conversion conversion)
{
    if (!value.isValid() || value.isNull())
        return {};
    // a value of the field's own type that fits goes on as it is, sharing its data
    switch (value.typeId()) {
    case QMetaType::QString:
        if (type == FieldType::Text) {
            const QString &s = *static_cast<const QString *>(value.constData());
            if (size <= 0 || s.size() <= size)
                return value;
        }
        break;
    case QMetaType::Double:
        if (type == FieldType::Float &&
            std::isfinite(*static_cast<const double *>(value.constData())))
            return value;
        break;
    case QMetaType::QDate:
        if (type == FieldType::Date && static_cast<const QDate *>(value.constData())->isValid())
            return value;
        break;
    default:
        break;
    }
    const bool lenient = conversion == Conversion::Lenient;
    switch (type) {
    case FieldType::Text: {
        QString s;
        if (value.typeId() == QMetaType::QString)
            s = value.toString();
        else if (lenient && isNumeric(value))
            s = QString::number(value.toDouble(), 'g', 15);
        else if (lenient && value.typeId() == QMetaType::QDate)
            s = shortDate(value.toDate());
        else if (lenient && value.canConvert<QString>())
            s = value.toString();
        else
            misfit(owner, fieldName, "VALUE_NOT_TEXT");
        if (size > 0 && s.size() > size && characterCount(s) > size)
            throw Error(text("VALUE_TOO_LONG").arg(fieldName, owner).arg(size));
        return s;
    }
    case FieldType::Float: {
        double d = 0;
        if (isNumeric(value)) {
            d = value.toDouble();
        } else if (lenient && value.typeId() == QMetaType::QString) {
            bool ok = false;
            d = value.toString().trimmed().toDouble(&ok);
            if (!ok)
                misfit(owner, fieldName, "VALUE_NOT_NUMBER");
        } else {
            misfit(owner, fieldName, "VALUE_NOT_NUMBER");
        }
        if (!std::isfinite(d))
            misfit(owner, fieldName, "VALUE_NOT_NUMBER");
        return d;
    }
    case FieldType::Date: {
        QDate d;
        if (value.typeId() == QMetaType::QDate)
            d = value.toDate();
        else if (value.typeId() == QMetaType::QDateTime)
            d = value.toDateTime().date();
        else if (lenient && value.typeId() == QMetaType::QString)
            d = parseIsoDate(value.toString()).isValid() ? parseIsoDate(value.toString())
                                                         : parseShortDate(value.toString());
        else if (lenient && isNumeric(value))
            d = dateFromDayNumber(value.toDouble());
        if (!d.isValid())
            misfit(owner, fieldName, "VALUE_NOT_DATE");
        return d;
    }
    }
    return {};
}

void checkPacketShape(const QString &owner, const Packet &packet)
{
    const qsizetype columns = packet.fields.size();
    for (qsizetype i = 0; i < columns; ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (packet.fields.at(i).name.compare(packet.fields.at(j).name, Qt::CaseInsensitive) ==
                0)
                throw Error(text("PACKET_DUPLICATE_FIELD").arg(packet.fields.at(i).name, owner));
        }
    }
    int rowNumber = 0;
    for (const PacketRow &row : packet.rows) {
        ++rowNumber;
        if (row.values.size() != columns)
            throw Error(text("PACKET_ROW_LENGTH")
                            .arg(owner)
                            .arg(rowNumber)
                            .arg(row.values.size())
                            .arg(columns));
        const bool needsOriginal = row.kind == ChangeKind::Modify;
        if (needsOriginal ? row.original.size() != columns : !row.original.isEmpty())
            throw Error(text("PACKET_ORIGINAL_LENGTH").arg(owner).arg(rowNumber));
    }
}

Packet takePacket(QVariant &value)
{
    if (value.typeId() != qMetaTypeId<Packet>())
        return {};
    Packet packet = std::move(*static_cast<Packet *>(value.data()));
    value = QVariant();
    return packet;
}

void checkPacket(const QString &owner, const Packet &packet)
{
    checkPacketShape(owner, packet);
    for (const PacketRow &row : packet.rows) {
        for (qsizetype c = 0; c < packet.fields.size(); ++c) {
            const PacketField &f = packet.fields.at(c);
            fitValue(owner, f.name, f.type, f.size, row.values.at(c), Conversion::Strict);
            if (row.kind == ChangeKind::Modify)
                fitValue(owner, f.name, f.type, f.size, row.original.at(c), Conversion::Strict);
        }
    }
}

} // namespace zov
