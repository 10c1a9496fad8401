#pragma once

#include "appserver.pb.h"
#include "packet.h"

#include <QVariant>

namespace zov {

// Variants of the remote interface and their protobuf form: null, QString, double,
// QDate, QVariantList (array) and zov::Packet.
void toWire(const QVariant &value, rpc::Value *out);
void toWire(const Packet &packet, rpc::Packet *out);

// Both throw zov::Error for a value that does not convert (a value without a kind,
// a date that is not YYYY-MM-DD, an unknown column type or change kind, a row of
// the wrong length or a value that does not fit its column).
QVariant fromWire(const rpc::Value &value);
Packet fromWire(const rpc::Packet &packet);

// The same, consuming their source as they go (rows are freed as soon as they are
// converted), so that a large packet is never held twice.
// With `Columns`, a packet of plain rows whose values all have their fields' types
// goes column by column (for a caller that reads that form); with `JoinedTexts` its
// text and date columns each go as one string of their values.
enum class PacketForm { Rows, Columns, JoinedTexts };
void moveToWire(QVariant &value, rpc::Value *out, PacketForm form = PacketForm::Rows);
void moveToWire(Packet &packet, rpc::Packet *out, PacketForm form = PacketForm::Rows);
QVariant takeFromWire(rpc::Value *value);

} // namespace zov
