#pragma once

#include "layout.h"

#include <QList>
#include <QMetaType>
#include <QVariant>

namespace zov {

enum class ChangeKind { None, Insert, Modify, Delete };

struct PacketField
{
    QString name;
    FieldType type = FieldType::Text;
    int size = 0;
};

// One row of a packet. In a delta, `kind` says what the change is; a modification
// and a deletion also carry the row's original values (a deletion carries them in
// `values` as well).
struct PacketRow
{
    QVariantList values;
    ChangeKind kind = ChangeKind::None;
    QVariantList original;
};

// What a remote method returns and a record set loads whole; a delta is the packet
// of one record set's logged changes. Values are QString, double, QDate or null.
struct Packet
{
    QList<PacketField> fields;
    QList<PacketRow> rows;

    int indexOf(const QString &name) const; // case-insensitive, -1 when absent
    bool isDelta() const;

    // The declared data fields of `layout`, without rows.
    static Packet forLayout(const Layout &layout);
};

// Characters of a text as widths count them (a surrogate pair is one character).
int characterCount(const QString &text);

// Checks one value against a declared field and returns it in its stored form
// (QString, double or QDate; an invalid QVariant for null). Strict mode takes only
// the value's own type, as a packet must carry it; lenient mode also converts, as a
// field assignment in code does (a number to text, a numeric text to a number).
// Throws zov::Error naming the field when the value does not fit.
enum class Conversion { Strict, Lenient };
QVariant fitValue(const QString &owner, const QString &fieldName, FieldType type, int size,
                  const QVariant &value, Conversion conversion);

// Row lengths and change kinds only (the values are checked by whoever binds them).
void checkPacketShape(const QString &owner, const Packet &packet);

// The packet a variant holds, moved out of it (the variant is left null); an empty
// packet when it holds none.
Packet takePacket(QVariant &value);

// Checks that every row of `packet` has one value per column and that each value
// fits the column's type and width; a delta row must have a known kind and, for
// modifications, original values of the same length. Throws zov::Error.
void checkPacket(const QString &owner, const Packet &packet);

} // namespace zov

Q_DECLARE_METATYPE(zov::Packet)
