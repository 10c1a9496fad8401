#include "layout.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace zov {

QString fieldTypeName(FieldType type)
{
    switch (type) {
    case FieldType::Text:
        return QStringLiteral("text");
    case FieldType::Float:
        return QStringLiteral("float");
    case FieldType::Date:
        return QStringLiteral("date");
    }
    return {};
}

bool fieldTypeFromName(const QString &name, FieldType *type)
{
    for (const FieldType t : {FieldType::Text, FieldType::Float, FieldType::Date}) {
        if (fieldTypeName(t) == name) {
            *type = t;
            return true;
        }
    }
    return false;
}

int Layout::indexOf(const QString &fieldName) const
{
    if (!byName.isEmpty()) {
        const auto it = byName.constFind(fieldName);
        if (it != byName.cend())
            return it.value();
        return byName.value(fieldName.toUpper(), -1);
    }
    for (int i = 0; i < fields.size(); ++i) {
        if (fields.at(i).name.compare(fieldName, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int Layout::dataFieldCount() const
{
    int n = 0;
    for (const FieldDef &f : fields)
        n += f.calculated ? 0 : 1;
    return n;
}

QStringList Layout::dataFieldNames() const
{
    QStringList names;
    for (const FieldDef &f : fields) {
        if (!f.calculated)
            names.append(f.name);
    }
    return names;
}

namespace {

QHash<QString, Layout> loadLayouts()
{
    QFile file(QStringLiteral(":/zov/data/layouts.json"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("resource layouts.json is missing from the build");
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull())
        qFatal("layouts.json: %s", qPrintable(error.errorString()));
    QHash<QString, Layout> layouts;
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        Layout layout;
        layout.name = it.key();
        const QJsonObject obj = it.value().toObject();
        const QJsonObject index = obj.value(QLatin1String("index")).toObject();
        layout.indexName = index.value(QLatin1String("name")).toString();
        const QString indexFields = index.value(QLatin1String("fields")).toString();
        if (!indexFields.isEmpty())
            layout.indexFields = indexFields.split(QLatin1Char(';'));
        for (const QJsonValue v : obj.value(QLatin1String("fields")).toArray()) {
            const QJsonObject f = v.toObject();
            FieldDef def;
            def.name = f.value(QLatin1String("name")).toString();
            if (!fieldTypeFromName(f.value(QLatin1String("type")).toString(), &def.type))
                qFatal("layouts.json: bad type for %s", qPrintable(def.name));
            def.size = f.value(QLatin1String("size")).toInt();
            def.label = f.value(QLatin1String("label")).toString();
            def.width = f.value(QLatin1String("width")).toInt();
            def.hidden = f.value(QLatin1String("hidden")).toBool();
            def.format = f.value(QLatin1String("format")).toString();
            def.calculated = f.value(QLatin1String("calculated")).toBool();
            layout.byName.insert(def.name.toUpper(), static_cast<int>(layout.fields.size()));
            layout.fields.append(def);
        }
        layouts.insert(layout.name, layout);
    }
    return layouts;
}

const QHash<QString, Layout> &allLayouts()
{
    static const QHash<QString, Layout> layouts = loadLayouts();
    return layouts;
}

} // namespace

const Layout &layout(const QString &name)
{
    const auto &layouts = allLayouts();
    const auto it = layouts.constFind(name);
    if (it == layouts.cend())
        qFatal("unknown record-set layout %s", qPrintable(name));
    return it.value();
}

QStringList layoutNames()
{
    QStringList names = allLayouts().keys();
    names.sort();
    return names;
}

} // namespace zov

namespace zov {

int codeWidth(const QString &column)
{
    for (const char *name : {"cdsCardaDia", "cdsCompCardCache"}) {
        const Layout &l = layout(QLatin1String(name));
        const int i = l.indexOf(column);
        if (i >= 0 && l.fields.at(i).type == FieldType::Text)
            return l.fields.at(i).size;
    }
    return 0;
}

} // namespace zov
