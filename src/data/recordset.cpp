#include "recordset.h"

#include "dates.h"
#include "error.h"
#include "filter.h"
#include "texts.h"

#include <QHash>
#include <QVarLengthArray>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace zov {

// ---------------------------------------------------------------------------
// Field

const FieldDef &Field::def() const
{
    return m_rs->m_layout.fields.at(m_index);
}

QVariant Field::value() const
{
    return m_rs->readValue(m_index);
}

bool Field::isNull() const
{
    const QVariant &v = m_rs->readValue(m_index);
    return !v.isValid() || v.isNull();
}

QString Field::asString() const
{
    const QVariant &v = m_rs->readValue(m_index);
    if (!v.isValid())
        return {};
    if (v.typeId() == QMetaType::QDate)
        return shortDate(v.toDate());
    if (v.typeId() == QMetaType::Double)
        return QString::number(v.toDouble(), 'g', 15);
    if (v.typeId() == QMetaType::QString)
        return *static_cast<const QString *>(v.constData());
    return v.toString();
}

double Field::asFloat() const
{
    const QVariant &v = m_rs->readValue(m_index);
    if (!v.isValid())
        return 0.0;
    if (v.typeId() == QMetaType::QDate)
        return dayNumber(v.toDate());
    if (v.typeId() == QMetaType::QString) {
        bool ok = false;
        const double d = v.toString().trimmed().toDouble(&ok);
        if (!ok)
            throw Error(text("VALUE_NOT_NUMBER").arg(def().name, m_rs->name()));
        return d;
    }
    if (v.typeId() == QMetaType::Double)
        return *static_cast<const double *>(v.constData());
    return v.toDouble();
}

int Field::asInteger() const
{
    return static_cast<int>(std::llround(asFloat()));
}

QDate Field::asDate() const
{
    const QVariant &v = m_rs->readValue(m_index);
    if (!v.isValid())
        return {};
    if (v.typeId() == QMetaType::QDate)
        return v.toDate();
    return fitValue(m_rs->name(), def().name, FieldType::Date, 0, v, Conversion::Lenient).toDate();
}

void Field::setValue(const QVariant &value)
{
    m_rs->writeValue(m_index, value);
}

// ---------------------------------------------------------------------------
// Hash index on a list of key fields

struct RecordSet::KeyIndex
{
    QList<int> fields;
    Qt::CaseSensitivity cs = Qt::CaseSensitive;
    // rows by the hash of their key; rows whose keys only share the hash are told
    // apart by sameKey
    QHash<size_t, std::vector<int>> rows;
};

namespace {

// A record set's values of a field share its type; these read them without the
// conversion machinery, which the order's comparisons would otherwise go through.
qint64 dayOf(const QVariant &v)
{
    return v.typeId() == QMetaType::QDate ? static_cast<const QDate *>(v.constData())->toJulianDay()
                                          : v.toDate().toJulianDay();
}

double numberOf(const QVariant &v)
{
    return v.typeId() == QMetaType::Double ? *static_cast<const double *>(v.constData())
                                           : v.toDouble();
}

// Numbers are keyed by their bits: 0 and -0 are one key.
quint64 numberBits(const QVariant &v)
{
    double d = numberOf(v);
    if (d == 0.0)
        d = 0.0;
    quint64 bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// The hash of one part of a key, computed in place: no key text is built. A text
// compared without letter case hashes as its case-folded form; ASCII folds to lower
// case, so the common code of letters and digits needs no folded copy.
size_t partHash(const QVariant &v, Qt::CaseSensitivity cs)
{
    if (!v.isValid())
        return 0x02;
    switch (v.typeId()) {
    case QMetaType::QString: {
        const QString &text = *static_cast<const QString *>(v.constData());
        if (cs == Qt::CaseSensitive)
            return qHash(QStringView(text), 0x01);
        if (!isAscii(text))
            return qHash(QStringView(text.toCaseFolded()), 0x01);
        QVarLengthArray<char16_t, 64> folded(text.size());
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = text.at(i).unicode();
            folded[i] = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
        }
        return qHash(QStringView(folded.constData(), folded.size()), 0x01);
    }
    case QMetaType::QDate:
        return qHash(dayOf(v), 0x04);
    default:
        return qHash(numberBits(v), 0x03);
    }
}

bool samePart(const QVariant &a, const QVariant &b, Qt::CaseSensitivity cs)
{
    if (a.isValid() != b.isValid())
        return false;
    if (!a.isValid())
        return true;
    const int type = a.typeId();
    const bool aText = type == QMetaType::QString, bText = b.typeId() == QMetaType::QString;
    const bool aDate = type == QMetaType::QDate, bDate = b.typeId() == QMetaType::QDate;
    if (aText != bText || aDate != bDate)
        return false;
    if (aText) {
        const QString &x = *static_cast<const QString *>(a.constData());
        const QString &y = *static_cast<const QString *>(b.constData());
        if (cs == Qt::CaseSensitive)
            return x == y;
        if (isAscii(x) && isAscii(y))
            return x.compare(y, Qt::CaseInsensitive) == 0;
        return x.toCaseFolded() == y.toCaseFolded();
    }
    if (aDate)
        return dayOf(a) == dayOf(b);
    return numberBits(a) == numberBits(b);
}

// `part(i)` gives the value of the index's i-th key field.
template<typename Part>
size_t keyHash(const QList<int> &fields, Qt::CaseSensitivity cs, Part part)
{
    size_t h = 0;
    for (qsizetype i = 0; i < fields.size(); ++i)
        h ^= partHash(part(i), cs) + 0x9e3779b97f4a7c15u + (h << 6) + (h >> 2);
    return h;
}

template<typename Part>
bool sameKey(const QList<int> &fields, Qt::CaseSensitivity cs, const QVector<QVariant> &row,
             Part part)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (!samePart(row.at(fields.at(i)), part(i), cs))
            return false;
    }
    return true;
}

int compareValues(const QVariant &a, const QVariant &b)
{
    const bool an = !a.isValid(), bn = !b.isValid();
    if (an || bn)
        return an == bn ? 0 : (an ? -1 : 1);
    switch (a.typeId()) {
    case QMetaType::QString: {
        const QString &x = *static_cast<const QString *>(a.constData());
        const QString &y = *static_cast<const QString *>(b.constData());
        // values copied from one another share their characters
        if (x.constData() == y.constData() && x.size() == y.size())
            return 0;
        return QString::compare(x, y, Qt::CaseSensitive);
    }
    case QMetaType::QDate: {
        const qint64 x = dayOf(a), y = dayOf(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    default: {
        const double x = numberOf(a), y = numberOf(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    }
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    if (a.isValid() != b.isValid())
        return false;
    return compareValues(a, b) == 0;
}

} // namespace

// ---------------------------------------------------------------------------
// RecordSet

RecordSet::RecordSet(const Layout &layout, QObject *parent)
    : QObject(parent)
    , m_layout(layout)
{
    for (const QString &f : m_layout.indexFields) {
        const int i = m_layout.indexOf(f);
        Q_ASSERT(i >= 0);
        m_indexFields.append(i);
    }
    m_calcValues.resize(m_layout.fields.size());
}

RecordSet::RecordSet(const QString &layoutName, QObject *parent)
    : RecordSet(zov::layout(layoutName), parent)
{}

RecordSet::~RecordSet() = default;

void RecordSet::checkActive() const
{
    if (m_state == State::Inactive)
        throw Error(text("RS_CLOSED").arg(name()));
}

void RecordSet::checkBrowseMode()
{
    if (m_state == State::Insert || m_state == State::Edit)
        Post();
}

const std::vector<int> &RecordSet::view() const
{
    return m_filtered && !m_filterText.isEmpty() ? m_filteredView : m_order;
}

int RecordSet::currentRowId() const
{
    if (m_calcRow >= 0 && m_inCalc)
        return m_calcRow;
    const auto &v = view();
    return m_pos >= 0 && m_pos < static_cast<int>(v.size()) ? v[m_pos] : -1;
}

const QList<int> &RecordSet::fieldList(const QString &keyFields)
{
    const auto known = m_fieldLists.constFind(keyFields);
    if (known != m_fieldLists.cend())
        return known.value();
    QList<int> fields;
    for (const QString &name : keyFields.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const int i = fieldIndex(name.trimmed());
        if (i < 0)
            throw Error(text("RS_NO_FIELD").arg(name.trimmed(), this->name()));
        fields.append(i);
    }
    return m_fieldLists.insert(keyFields, fields).value();
}

int RecordSet::fieldIndex(const QString &name) const
{
    return m_layout.indexOf(name);
}

Field RecordSet::FieldByName(const QString &name)
{
    const int i = fieldIndex(name);
    if (i < 0)
        throw Error(text("RS_NO_FIELD").arg(name, this->name()));
    return Field(this, i);
}

void RecordSet::changed()
{
    m_calcRow = -1;
    if (m_disableCount > 0) {
        m_changePending = true;
        return;
    }
    Q_EMIT contentChanged();
}

void RecordSet::SetData(const Packet &packet)
{
    SetData(Packet(packet));
}

void RecordSet::SetData(Packet &&packet)
{
    // every row must have a value per column; the values of the declared fields are
    // checked below against the fields themselves
    checkPacketShape(name(), packet);
    if (packet.isDelta())
        throw Error(text("PACKET_IS_DELTA").arg(name()));
    // column of the packet for every declared data field
    QVector<int> columnOf(m_layout.fields.size(), -1);
    for (int f = 0; f < m_layout.fields.size(); ++f) {
        const FieldDef &def = m_layout.fields.at(f);
        if (def.calculated)
            continue;
        const int c = packet.indexOf(def.name);
        if (c < 0)
            throw Error(text("PACKET_MISSING_FIELD").arg(def.name, name()));
        if (packet.fields.at(c).type != def.type)
            throw Error(text("PACKET_WRONG_TYPE")
                            .arg(def.name, name(), fieldTypeName(packet.fields.at(c).type),
                                 fieldTypeName(def.type)));
        columnOf[f] = c;
    }
    std::vector<Row> rows;
    rows.reserve(packet.rows.size());
    quint64 seq = 0;
    for (PacketRow &prow : packet.rows) {
        Row row;
        // sized exactly: resize() would round the block up to a power of two, a third
        // more memory for a month of rows
        row.values = QVector<QVariant>(m_layout.fields.size());
        for (int f = 0; f < m_layout.fields.size(); ++f) {
            if (columnOf[f] < 0)
                continue;
            const FieldDef &def = m_layout.fields.at(f);
            row.values[f] = fitValue(m_layout.name, def.name, def.type, def.size,
                                     prow.values.at(columnOf[f]), Conversion::Strict);
        }
        row.seq = seq++;
        rows.push_back(std::move(row));
        prow = PacketRow(); // the packet's copy goes as soon as the row is in
    }

    m_rows = std::move(rows);
    m_nextSeq = seq;
    m_order.resize(m_rows.size());
    for (int i = 0; i < static_cast<int>(m_rows.size()); ++i)
        m_order[i] = i;
    // rows the server sent in the index's order need no sorting
    const auto less = [this](int a, int b) { return lessInOrder(a, b); };
    if (!m_indexFields.isEmpty() && !std::is_sorted(m_order.begin(), m_order.end(), less))
        std::sort(m_order.begin(), m_order.end(), less);
    m_changeLog.clear();
    m_keyIndexes.clear();
    m_state = State::Browse;
    m_buffer.clear();
    m_editRow = -1;
    rebuildFilteredView();
    m_pos = 0;
    changed();
}

void RecordSet::Close()
{
    m_rows.clear();
    m_order.clear();
    m_filteredView.clear();
    m_changeLog.clear();
    m_keyIndexes.clear();
    m_buffer.clear();
    m_editRow = -1;
    m_pos = 0;
    m_state = State::Inactive;
    changed();
}

void RecordSet::First()
{
    if (m_state == State::Inactive)
        return;
    checkBrowseMode();
    m_pos = 0;
}

void RecordSet::Next()
{
    if (m_state == State::Inactive)
        return;
    checkBrowseMode();
    if (m_pos < static_cast<int>(view().size()))
        ++m_pos;
}

bool RecordSet::Eof() const
{
    return m_state == State::Inactive || m_pos >= static_cast<int>(view().size());
}

bool RecordSet::IsEmpty() const
{
    return m_state == State::Inactive || view().empty();
}

int RecordSet::RecordCount() const
{
    return m_state == State::Inactive ? 0 : static_cast<int>(view().size());
}

int RecordSet::recNo() const
{
    return currentRowId() >= 0 ? m_pos : -1;
}

void RecordSet::setRecNo(int position)
{
    checkActive();
    checkBrowseMode();
    m_pos = std::clamp(position, 0, static_cast<int>(view().size()));
}

const QVariant &RecordSet::readValue(int field) const
{
    checkActive();
    const FieldDef &def = m_layout.fields.at(field);
    if (def.calculated) {
        auto *self = const_cast<RecordSet *>(this);
        if (m_inCalc)
            return m_calcValues.at(field);
        const int id = currentRowId();
        if (id < 0 && m_state == State::Browse)
            throw Error(text("RS_NO_CURRENT").arg(name()));
        if (self->m_calcRow != id || m_state != State::Browse) {
            self->m_calcValues.fill(QVariant());
            if (m_onCalc) {
                self->m_calcRow = id;
                self->m_inCalc = true;
                struct Reset
                {
                    RecordSet *rs;
                    ~Reset() { rs->m_inCalc = false; }
                } reset{self};
                m_onCalc(*self);
            }
            // values worked out from an edit buffer belong to no stored row
            self->m_calcRow = m_state == State::Browse ? id : -1;
        }
        return m_calcValues.at(field);
    }
    if (m_state == State::Insert || m_state == State::Edit)
        return m_buffer.at(field);
    const int id = currentRowId();
    if (id < 0)
        throw Error(text("RS_NO_CURRENT").arg(name()));
    return m_rows[id].values.at(field);
}

void RecordSet::writeValue(int field, const QVariant &value)
{
    checkActive();
    const FieldDef &def = m_layout.fields.at(field);
    const QVariant fitted =
        fitValue(m_layout.name, def.name, def.type, def.size, value, Conversion::Lenient);
    if (def.calculated) {
        if (!m_inCalc)
            throw Error(text("RS_NOT_EDITING").arg(name()));
        m_calcValues[field] = fitted;
        return;
    }
    if (m_state != State::Insert && m_state != State::Edit)
        throw Error(text("RS_NOT_EDITING").arg(name()));
    m_buffer[field] = fitted;
}

bool RecordSet::lessInOrder(int a, int b) const
{
    if (a == b)
        return false;
    const Row &x = m_rows[a];
    const Row &y = m_rows[b];
    for (const int f : m_indexFields) {
        const int c = compareValues(x.values.at(f), y.values.at(f));
        if (c != 0)
            return c < 0;
    }
    return x.seq < y.seq;
}

std::vector<int>::const_iterator RecordSet::placeFromTheEnd(const std::vector<int> &order,
                                                            int rowId) const
{
    // rows are mostly added in the order of the index or close to it: the search
    // starts from the end and doubles its step back
    const auto less = [this](int a, int b) { return lessInOrder(a, b); };
    std::size_t high = order.size();
    std::size_t step = 1;
    while (high > 0 && !less(order[high - 1], rowId)) {
        const std::size_t low = high > step ? high - step : 0;
        if (less(order[low], rowId))
            return std::lower_bound(order.begin() + static_cast<std::ptrdiff_t>(low) + 1,
                                    order.begin() + static_cast<std::ptrdiff_t>(high), rowId, less);
        high = low;
        step *= 2;
    }
    return order.begin() + static_cast<std::ptrdiff_t>(high);
}

int RecordSet::placeInOrder(int rowId)
{
    const auto placed = m_order.insert(placeFromTheEnd(m_order, rowId), rowId);
    return static_cast<int>(placed - m_order.begin());
}

void RecordSet::removeFromOrder(int rowId)
{
    auto it = std::lower_bound(m_order.begin(), m_order.end(), rowId,
                               [this](int a, int b) { return lessInOrder(a, b); });
    if (it == m_order.end() || *it != rowId)
        it = std::find(m_order.begin(), m_order.end(), rowId);
    if (it != m_order.end())
        m_order.erase(it);
}

void RecordSet::moveTo(int rowId)
{
    const auto &v = view();
    m_pos = static_cast<int>(placeFromTheEnd(v, rowId) - v.begin());
}

size_t RecordSet::keyOf(const KeyIndex &index, const QVector<QVariant> &values) const
{
    return keyHash(index.fields, index.cs,
                   [&](qsizetype i) -> const QVariant & { return values.at(index.fields.at(i)); });
}

RecordSet::KeyIndex &RecordSet::keyIndex(const QList<int> &fields, Qt::CaseSensitivity cs)
{
    for (auto &index : m_keyIndexes) {
        if (index->fields == fields && index->cs == cs)
            return *index;
    }
    auto index = std::make_unique<KeyIndex>();
    index->fields = fields;
    index->cs = cs;
    index->rows.reserve(static_cast<qsizetype>(m_rows.size()));
    for (int id = 0; id < static_cast<int>(m_rows.size()); ++id) {
        if (m_rows[id].alive)
            index->rows[keyOf(*index, m_rows[id].values)].push_back(id);
    }
    m_keyIndexes.push_back(std::move(index));
    return *m_keyIndexes.back();
}

void RecordSet::indexRow(int rowId)
{
    for (auto &index : m_keyIndexes)
        index->rows[keyOf(*index, m_rows[rowId].values)].push_back(rowId);
}

void RecordSet::unindexRow(int rowId, const QVector<QVariant> &values)
{
    for (auto &index : m_keyIndexes) {
        const auto it = index->rows.find(keyOf(*index, values));
        if (it == index->rows.end())
            continue;
        auto &ids = it.value();
        ids.erase(std::remove(ids.begin(), ids.end(), rowId), ids.end());
        if (ids.empty())
            index->rows.erase(it);
    }
}

int RecordSet::findFirst(const QString &keyFields, const QVariantList &values,
                         Qt::CaseSensitivity cs)
{
    checkActive();
    const QList<int> &fields = fieldList(keyFields);
    if (fields.size() != values.size())
        throw Error(text("RS_NO_FIELD").arg(keyFields, name()));
    KeyIndex &index = keyIndex(fields, cs);
    QVarLengthArray<QVariant, 8> probe;
    for (int i = 0; i < fields.size(); ++i) {
        const FieldDef &def = m_layout.fields.at(fields.at(i));
        const QVariant &v = values.at(i);
        // values of the field's own type go in as they are; others are converted
        const bool own = (def.type == FieldType::Text && v.typeId() == QMetaType::QString) ||
                         (def.type == FieldType::Float && v.typeId() == QMetaType::Double) ||
                         (def.type == FieldType::Date && v.typeId() == QMetaType::QDate);
        probe.append(own ? v
                         : fitValue(m_layout.name, def.name, def.type, 0, v, Conversion::Lenient));
    }
    const auto part = [&](qsizetype i) -> const QVariant & { return probe.at(i); };
    const auto it = index.rows.constFind(keyHash(fields, cs, part));
    if (it == index.rows.cend())
        return -1;
    int best = -1;
    const bool filtering = m_filtered && !m_filterText.isEmpty();
    for (const int id : it.value()) {
        if (!sameKey(fields, cs, m_rows[id].values, part) ||
            (filtering && !matchesFilter(m_rows[id])))
            continue;
        if (best < 0 || lessInOrder(id, best))
            best = id;
    }
    return best;
}

bool RecordSet::Locate(const QString &keyFields, const QVariantList &values, Qt::CaseSensitivity cs)
{
    checkActive();
    checkBrowseMode();
    const int id = findFirst(keyFields, values, cs);
    if (id < 0)
        return false;
    moveTo(id);
    return true;
}

QList<QVariantList> RecordSet::valuesWhere(const QString &keyFields, const QVariantList &values,
                                           const QStringList &fields)
{
    checkActive();
    const QList<int> &keys = fieldList(keyFields);
    QList<int> wanted;
    for (const QString &f : fields) {
        const int i = fieldIndex(f);
        if (i < 0)
            throw Error(text("RS_NO_FIELD").arg(f, name()));
        wanted.append(i);
    }
    KeyIndex &index = keyIndex(keys, Qt::CaseSensitive);
    QVarLengthArray<QVariant, 8> probe;
    for (int i = 0; i < keys.size(); ++i) {
        const FieldDef &def = m_layout.fields.at(keys.at(i));
        probe.append(
            fitValue(m_layout.name, def.name, def.type, 0, values.value(i), Conversion::Lenient));
    }
    const auto part = [&](qsizetype i) -> const QVariant & { return probe.at(i); };
    QList<QVariantList> result;
    const auto it = index.rows.constFind(keyHash(keys, Qt::CaseSensitive, part));
    if (it == index.rows.cend())
        return result;
    for (const int id : it.value()) {
        if (!sameKey(keys, Qt::CaseSensitive, m_rows[id].values, part))
            continue;
        QVariantList row;
        for (const int f : wanted)
            row.append(m_rows[id].values.at(f));
        result.append(row);
    }
    return result;
}

bool RecordSet::contains(const QString &keyFields, const QVariantList &values,
                         Qt::CaseSensitivity cs)
{
    return findFirst(keyFields, values, cs) >= 0;
}

void RecordSet::prepareLocate(const QString &keyFields, Qt::CaseSensitivity cs)
{
    checkActive();
    keyIndex(fieldList(keyFields), cs);
}

void RecordSet::prepareFilter(const QString &fields)
{
    checkActive();
    // a filter looks its rows up by its fields in the layout's order
    QList<int> sorted = fieldList(fields);
    std::sort(sorted.begin(), sorted.end());
    keyIndex(sorted, Qt::CaseSensitive);
}

void RecordSet::setFilter(const QString &filterText)
{
    // a walk sets the same few filters over and over: each is parsed once
    if (const auto known = m_parsedFilters.constFind(filterText); known != m_parsedFilters.cend()) {
        applyFilter(filterText, known->conditions, known->neverTrue);
        return;
    }
    QList<FilterCondition> conditions;
    bool neverTrue = false;
    if (!filterText.trimmed().isEmpty()) {
        for (const FilterTerm &term : parseFilter(filterText)) {
            const int f = fieldIndex(term.field);
            if (f < 0)
                throw Error(text("RS_NO_FIELD").arg(term.field, name()));
            const FieldDef &def = m_layout.fields.at(f);
            QVariant value;
            switch (def.type) {
            case FieldType::Text:
                value = term.literal;
                break;
            case FieldType::Float: {
                bool ok = false;
                value = term.literal.trimmed().toDouble(&ok);
                if (!ok)
                    throw Error(text("FILTER_BAD_LITERAL").arg(term.literal, def.name));
                break;
            }
            case FieldType::Date: {
                // a date with a time of day other than midnight matches no whole day
                const QStringList parts =
                    term.literal.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
                const QDate d = parseShortDate(term.literal);
                if (!d.isValid())
                    throw Error(text("FILTER_BAD_LITERAL").arg(term.literal, def.name));
                if (parts.size() == 2 &&
                    QTime::fromString(parts.at(1), QStringLiteral("H:mm:ss")) != QTime(0, 0) &&
                    QTime::fromString(parts.at(1), QStringLiteral("H:mm")) != QTime(0, 0))
                    neverTrue = true;
                value = d;
                break;
            }
            }
            conditions.append({f, value});
        }
    }
    if (m_parsedFilters.size() >= kParsedFilters)
        m_parsedFilters.clear();
    m_parsedFilters.insert(filterText, {conditions, neverTrue});
    applyFilter(filterText, conditions, neverTrue);
}

void RecordSet::applyFilter(const QString &filterText, const QList<FilterCondition> &conditions,
                            bool neverTrue)
{
    m_filterText = filterText.trimmed().isEmpty() ? QString() : filterText;
    m_conditions = conditions;
    m_conditionNeverTrue = neverTrue;
    if (m_filtered && m_state != State::Inactive) {
        checkBrowseMode();
        rebuildFilteredView();
        m_pos = 0;
        changed();
    }
}

void RecordSet::setFiltered(bool on)
{
    if (m_state != State::Inactive)
        checkBrowseMode();
    m_filtered = on;
    rebuildFilteredView();
    m_pos = 0;
    if (m_state != State::Inactive)
        changed();
}

bool RecordSet::matchesFilter(const Row &row) const
{
    if (m_conditionNeverTrue)
        return false;
    for (const FilterCondition &c : m_conditions) {
        if (!sameValue(row.values.at(c.field), c.value))
            return false;
    }
    return true;
}

void RecordSet::rebuildFilteredView()
{
    m_filteredView.clear();
    if (!m_filtered || m_filterText.isEmpty() || m_conditionNeverTrue)
        return;
    QList<int> fields;
    QVector<QVariant> probe(m_layout.fields.size());
    for (const FilterCondition &c : m_conditions) {
        if (!fields.contains(c.field))
            fields.append(c.field);
        probe[c.field] = c.value;
    }
    std::sort(fields.begin(), fields.end());
    KeyIndex &index = keyIndex(fields, Qt::CaseSensitive);
    const auto it = index.rows.constFind(keyOf(index, probe));
    if (it == index.rows.cend())
        return;
    for (const int id : it.value()) {
        // a field named twice in the filter is checked for each of its values
        if (sameKey(fields, Qt::CaseSensitive, m_rows[id].values,
                    [&](qsizetype i) -> const QVariant & { return probe.at(fields.at(i)); }) &&
            (fields.size() == m_conditions.size() || matchesFilter(m_rows[id])))
            m_filteredView.push_back(id);
    }
    std::sort(m_filteredView.begin(), m_filteredView.end(),
              [this](int a, int b) { return lessInOrder(a, b); });
}

void RecordSet::Insert()
{
    checkActive();
    checkBrowseMode();
    m_buffer = QVector<QVariant>(m_layout.fields.size());
    m_editRow = -1;
    m_state = State::Insert;
}

void RecordSet::Edit()
{
    checkActive();
    if (m_state == State::Edit || m_state == State::Insert)
        return;
    const int id = currentRowId();
    if (id < 0)
        throw Error(text("RS_NO_CURRENT").arg(name()));
    m_buffer = m_rows[id].values;
    m_editRow = id;
    m_state = State::Edit;
}

void RecordSet::logChange(int rowId, RowStatus status)
{
    Row &row = m_rows[rowId];
    if (row.status == RowStatus::Unchanged)
        m_changeLog.push_back(rowId);
    row.status = status;
}

void RecordSet::Post()
{
    checkActive();
    if (m_state == State::Insert) {
        Row row;
        row.values = m_buffer;
        row.seq = m_nextSeq++;
        m_rows.push_back(std::move(row));
        const int id = static_cast<int>(m_rows.size()) - 1;
        logChange(id, RowStatus::Inserted);
        const int position = placeInOrder(id);
        indexRow(id);
        m_state = State::Browse;
        m_buffer.clear();
        rebuildFilteredView();
        if (&view() == &m_order)
            m_pos = position;
        else
            moveTo(id);
        changed();
    } else if (m_state == State::Edit) {
        const int id = m_editRow;
        Row &row = m_rows[id];
        m_state = State::Browse;
        if (row.values != m_buffer) {
            bool orderChanges = false;
            for (const int f : m_indexFields)
                orderChanges = orderChanges || !sameValue(row.values.at(f), m_buffer.at(f));
            if (orderChanges)
                removeFromOrder(id);
            unindexRow(id, row.values);
            if (row.status == RowStatus::Unchanged) {
                row.original = row.values;
                logChange(id, RowStatus::Modified);
            }
            row.values = m_buffer;
            if (orderChanges)
                placeInOrder(id);
            indexRow(id);
            rebuildFilteredView();
            moveTo(id);
            changed();
        }
        m_buffer.clear();
        m_editRow = -1;
    }
}

void RecordSet::Cancel()
{
    if (m_state == State::Insert || m_state == State::Edit) {
        m_calcRow = -1;
        m_state = State::Browse;
        m_buffer.clear();
        m_editRow = -1;
    }
}

void RecordSet::Delete()
{
    checkActive();
    if (m_state == State::Insert) {
        Cancel();
        return;
    }
    Cancel();
    const int id = currentRowId();
    if (id < 0)
        throw Error(text("RS_NO_CURRENT").arg(name()));
    Row &row = m_rows[id];
    unindexRow(id, row.values);
    removeFromOrder(id);
    row.alive = false;
    if (row.status == RowStatus::Inserted) {
        row.status = RowStatus::Unchanged; // never reached the server: leaves no trace
    } else {
        if (row.status == RowStatus::Unchanged)
            row.original = row.values;
        logChange(id, RowStatus::Deleted);
    }
    rebuildFilteredView();
    m_pos = std::min(m_pos, static_cast<int>(view().size()));
    changed();
}

int RecordSet::ChangeCount() const
{
    int n = 0;
    for (const int id : m_changeLog)
        n += m_rows[id].status != RowStatus::Unchanged ? 1 : 0;
    return n;
}

Packet RecordSet::GetDelta() const
{
    Packet delta = Packet::forLayout(m_layout);
    auto dataValues = [this](const QVector<QVariant> &values) {
        QVariantList list;
        list.reserve(m_layout.fields.size());
        for (int f = 0; f < m_layout.fields.size(); ++f) {
            if (!m_layout.fields.at(f).calculated)
                list.append(values.at(f));
        }
        return list;
    };
    for (const int id : m_changeLog) {
        const Row &row = m_rows[id];
        PacketRow prow;
        switch (row.status) {
        case RowStatus::Inserted:
            prow.kind = ChangeKind::Insert;
            prow.values = dataValues(row.values);
            break;
        case RowStatus::Modified:
            prow.kind = ChangeKind::Modify;
            prow.values = dataValues(row.values);
            prow.original = dataValues(row.original);
            break;
        case RowStatus::Deleted:
            prow.kind = ChangeKind::Delete;
            prow.values = dataValues(row.original);
            break;
        case RowStatus::Unchanged: // inserted, then deleted again
            continue;
        }
        delta.rows.append(prow);
    }
    return delta;
}

void RecordSet::MergeChangeLog()
{
    for (const int id : m_changeLog) {
        Row &row = m_rows[id];
        row.status = RowStatus::Unchanged;
        row.original.clear();
    }
    m_changeLog.clear();
}

void RecordSet::DisableControls()
{
    ++m_disableCount;
}

void RecordSet::EnableControls()
{
    if (m_disableCount > 0 && --m_disableCount == 0 && m_changePending) {
        m_changePending = false;
        Q_EMIT contentChanged();
    }
}

void RecordSet::setOnCalcFields(std::function<void(RecordSet &)> handler)
{
    m_onCalc = std::move(handler);
    m_calcRow = -1;
}

QVariant RecordSet::valueAt(int row, int field)
{
    checkActive();
    const auto &v = view();
    if (row < 0 || row >= static_cast<int>(v.size()))
        return {};
    const FieldDef &def = m_layout.fields.at(field);
    if (!def.calculated)
        return m_rows[v[row]].values.at(field);
    const int saved = m_pos;
    const State savedState = m_state;
    m_pos = row;
    m_state = State::Browse;
    QVariant value;
    try {
        value = readValue(field);
    } catch (...) {
        m_pos = saved;
        m_state = savedState;
        throw;
    }
    m_pos = saved;
    m_state = savedState;
    return value;
}

Packet RecordSet::data() const
{
    Packet packet = Packet::forLayout(m_layout);
    for (const int id : m_order) {
        PacketRow prow;
        for (int f = 0; f < m_layout.fields.size(); ++f) {
            if (!m_layout.fields.at(f).calculated)
                prow.values.append(m_rows[id].values.at(f));
        }
        packet.rows.append(prow);
    }
    return packet;
}

} // namespace zov
