#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace zov {

enum class FieldType { Text, Float, Date };

QString fieldTypeName(FieldType type); // "text", "float", "date"
bool fieldTypeFromName(const QString &name, FieldType *type);

// A declared field of a record set. Text widths count characters.
struct FieldDef
{
    QString name;
    FieldType type = FieldType::Text;
    int size = 0;        // width of a text field
    QString label;       // column title; the name when empty
    int width = 0;       // display width in characters, 0 when not declared
    bool hidden = false; // never shown by a grid or pick list
    QString format;      // display format
    bool calculated = false;

    QString displayLabel() const { return label.isEmpty() ? name : label; }
};

// The declared layout of one record set: its fields in order and its active index.
struct Layout
{
    QString name;
    QList<FieldDef> fields;
    QString indexName;
    QStringList indexFields;

    int indexOf(const QString &fieldName) const; // case-insensitive, -1 when absent
    int dataFieldCount() const;                  // fields that travel in packets
    QStringList dataFieldNames() const;          // their names in order: the table's columns

    QHash<QString, int> byName; // upper-case name -> position, filled when loaded
};

// The eleven layouts, read once from the resource layouts.json.
const Layout &layout(const QString &name);
QStringList layoutNames();

// The width of a code column (CDFILIAL, CDSERVFILI, CDDIETPAD, ...) as the header
// layout declares it, or the dish layout for the dish codes; 0 for an unknown name.
int codeWidth(const QString &column);

} // namespace zov
