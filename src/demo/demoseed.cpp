#include "demoseed.h"

#include "dates.h"
#include "error.h"
#include "layout.h"
#include "texts.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariantList>

#include <algorithm>
#include <array>
#include <set>

namespace zov {

namespace {

const QString kDataPath = QStringLiteral(":/zov/db/demo/demo.json");

// ---------------------------------------------------------------------------
// The demo reference data, as read from the resource

using Week = std::array<double, 7>; // Sunday .. Saturday

struct Diet
{
    QString code;
    QString name;
    QString consistency; // which dishes it may receive
    double diners = 0;   // lunch diners on a full weekday at the main branch
};

struct DishType
{
    QString code;
    QString name;
};

struct Dish
{
    QString code;
    QString name;
    QString type;
    double perCapita = 0;
    QStringList consistencies;
};

struct SlotGroup
{
    QString type;
    int count = 0;
};

struct Shift
{
    QString code;
    Week week{};
    double holiday = 0;
};

struct Service
{
    QString code;
    QString name;
    QString type;
    QVariant hospitalType;
    double dinersFactor = 1;
    QList<SlotGroup> dishSlots;
    QList<SlotGroup> nextMonthSlots;
    QList<Shift> shifts;

    bool isDiet() const { return type == QLatin1String("D"); }
};

struct BranchService
{
    const Service *service = nullptr;
    QList<const Diet *> diets;
    bool menus = false;
};

struct Branch
{
    QString code;
    QString name;
    QString planningWorkdays;
    bool holidayCards = false;
    double dinersFactor = 1;
    QList<BranchService> services;
};

struct Estimates
{
    Week weekdayFactors{};
    double minimum = 1;
    double staffShare = 0;
    double companionShare = 0;
};

struct Holidays
{
    QStringList fixed; // MM-dd
    QList<int> easterOffsets;
};

struct DemoData
{
    QString operatorCode;
    QString catalogueBranch;
    QList<Diet> diets;
    QList<DishType> dishTypes;
    QList<Dish> dishes;
    QList<Service> services;
    QList<Branch> branches;
    Estimates estimates;
    Holidays holidays;
};

[[noreturn]] void badReference(const QString &code, const char *where)
{
    throw Error(text("DEMO_DATA_REFERENCE").arg(code, QLatin1String(where)));
}

// Accessors of the JSON tree; a missing member reads as empty or zero.
QJsonValue member(const QJsonValue &v, const char *key)
{
    return v[QLatin1String(key)];
}

QString textOf(const QJsonValue &v, const char *key)
{
    return member(v, key).toString();
}

double numberOf(const QJsonValue &v, const char *key, double fallback = 0)
{
    return member(v, key).toDouble(fallback);
}

QJsonArray arrayOf(const QJsonValue &v, const char *key)
{
    return member(v, key).toArray();
}

QStringList textsOf(const QJsonValue &v, const char *key)
{
    QStringList result;
    for (const QJsonValue &item : arrayOf(v, key))
        result.append(item.toString());
    return result;
}

Week weekOf(const QJsonValue &v, const char *key)
{
    Week result{};
    const QJsonArray array = arrayOf(v, key);
    for (int i = 0; i < 7 && i < array.size(); ++i)
        result[i] = array.at(i).toDouble();
    return result;
}

template<typename T>
const T *byCode(const QList<T> &list, const QString &code, const char *where)
{
    const auto it =
        std::find_if(list.cbegin(), list.cend(), [&](const T &t) { return t.code == code; });
    if (it == list.cend())
        badReference(code, where);
    return &*it;
}

QList<SlotGroup> slotGroupsOf(const QJsonValue &v, const char *key, const DemoData &data)
{
    QList<SlotGroup> result;
    for (const QJsonValue &item : arrayOf(v, key)) {
        result.append({textOf(item, "type"), member(item, "count").toInt()});
        byCode(data.dishTypes, result.last().type, "services.slots");
    }
    return result;
}

void readCatalogue(const QJsonValue &root, DemoData &data)
{
    for (const QJsonValue &item : arrayOf(root, "diets"))
        data.diets.append({textOf(item, "code"), textOf(item, "name"), textOf(item, "consistency"),
                           numberOf(item, "diners")});
    for (const QJsonValue &item : arrayOf(root, "dishTypes"))
        data.dishTypes.append({textOf(item, "code"), textOf(item, "name")});
    for (const QJsonValue &item : arrayOf(root, "dishes")) {
        Dish dish{textOf(item, "code"), textOf(item, "name"), textOf(item, "type"),
                  numberOf(item, "perCapita"), textsOf(item, "consistencies")};
        if (dish.consistencies.isEmpty())
            dish.consistencies.append(QStringLiteral("normal"));
        byCode(data.dishTypes, dish.type, "dishes.type");
        data.dishes.append(dish);
    }
}

Service readService(const QJsonValue &v, const DemoData &data)
{
    Service s;
    s.code = textOf(v, "code");
    s.name = textOf(v, "name");
    s.type = textOf(v, "type");
    s.hospitalType = member(v, "hospitalType").isString()
                         ? QVariant(textOf(v, "hospitalType"))
                         : QVariant(QMetaType::fromType<QString>());
    s.dinersFactor = numberOf(v, "dinersFactor", 1);
    s.dishSlots = slotGroupsOf(v, "slots", data);
    // the next month repeats this one unless it says otherwise
    s.nextMonthSlots = member(v, "nextMonthSlots").isArray()
                           ? slotGroupsOf(v, "nextMonthSlots", data)
                           : s.dishSlots;
    for (const QJsonValue &item : arrayOf(v, "shifts"))
        s.shifts.append({textOf(item, "code"), weekOf(item, "week"), numberOf(item, "holiday")});
    return s;
}

Branch readBranch(const QJsonValue &v, const DemoData &data)
{
    Branch b;
    b.code = textOf(v, "code");
    b.name = textOf(v, "name");
    b.planningWorkdays = textOf(v, "planningWorkdays");
    b.holidayCards = member(v, "holidayCards").toBool();
    b.dinersFactor = numberOf(v, "dinersFactor", 1);
    for (const QJsonValue &item : arrayOf(v, "services")) {
        BranchService bs;
        bs.service = byCode(data.services, textOf(item, "code"), "branches.services");
        bs.menus = member(item, "menus").toBool();
        // a service without a list of diets serves them all
        if (member(item, "diets").isArray()) {
            for (const QString &code : textsOf(item, "diets"))
                bs.diets.append(byCode(data.diets, code, "branches.services.diets"));
        } else {
            for (const Diet &diet : data.diets)
                bs.diets.append(&diet);
        }
        b.services.append(bs);
    }
    return b;
}

DemoData loadDemoData()
{
    QFile file(kDataPath);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(text("DEMO_DATA_UNREADABLE").arg(kDataPath, file.errorString()));
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject())
        throw Error(text("DEMO_DATA_UNREADABLE").arg(kDataPath, parseError.errorString()));
    const QJsonValue root(doc.object());

    DemoData data;
    data.operatorCode = textOf(root, "operator");
    data.catalogueBranch = textOf(root, "catalogueBranch");
    readCatalogue(root, data);
    for (const QJsonValue &item : arrayOf(root, "services"))
        data.services.append(readService(item, data));
    // the branches point into the lists above, which do not change any more
    for (const QJsonValue &item : arrayOf(root, "branches"))
        data.branches.append(readBranch(item, data));

    const QJsonValue estimates = member(root, "estimates");
    data.estimates.weekdayFactors = weekOf(estimates, "weekdayFactors");
    // at least one diner in each of the three parts
    data.estimates.minimum = std::max(3.0, numberOf(estimates, "minimum"));
    data.estimates.staffShare = numberOf(estimates, "staffShare");
    data.estimates.companionShare = numberOf(estimates, "companionShare");

    const QJsonValue holidays = member(root, "holidays");
    data.holidays.fixed = textsOf(holidays, "fixed");
    for (const QJsonValue &offset : arrayOf(holidays, "easterOffsets"))
        data.holidays.easterOffsets.append(offset.toInt());
    return data;
}

// ---------------------------------------------------------------------------
// Figures derived from the reference data

struct DinerEstimate
{
    int total = 0;
    int patients = 0;
    int staff = 0;
    int companions = 0;
};

DinerEstimate dinerEstimate(const DemoData &data, const Branch &branch, const Service &service,
                            const Diet &diet, int weekday)
{
    const Estimates &e = data.estimates;
    DinerEstimate result;
    result.total = std::max(qRound(e.minimum), qRound(diet.diners * e.weekdayFactors[weekday - 1] *
                                                      service.dinersFactor * branch.dinersFactor));
    result.staff = std::max(1, qRound(result.total * e.staffShare));
    result.companions = std::max(1, qRound(result.total * e.companionShare));
    result.patients = result.total - result.staff - result.companions;
    return result;
}

int shiftEstimate(const Branch &branch, const Shift &shift, int weekday, bool holiday)
{
    return qRound((holiday ? shift.holiday : shift.week[weekday - 1]) * branch.dinersFactor);
}

// Gregorian Easter Sunday (Meeus/Jones/Butcher)
QDate easterSunday(int year)
{
    const int a = year % 19;
    const int b = year / 100;
    const int c = year % 100;
    const int d = b / 4;
    const int e = b % 4;
    const int f = (b + 8) / 25;
    const int g = (b - f + 1) / 3;
    const int h = (19 * a + b - d - g + 15) % 30;
    const int i = c / 4;
    const int k = c % 4;
    const int l = (32 + 2 * e + 2 * i - h - k) % 7;
    const int m = (a + 11 * h + 22 * l) / 451;
    const int month = (h + l - 7 * m + 114) / 31;
    const int day = (h + l - 7 * m + 114) % 31 + 1;
    return QDate(year, month, day);
}

std::set<QDate> holidaysOf(const Holidays &holidays, const QList<int> &years)
{
    std::set<QDate> result;
    for (int year : years) {
        for (const QString &monthDay : holidays.fixed) {
            const QStringList parts = monthDay.split(QLatin1Char('-'));
            const QDate day =
                parts.size() == 2 ? QDate(year, parts.at(0).toInt(), parts.at(1).toInt()) : QDate();
            if (!day.isValid())
                badReference(monthDay, "holidays.fixed");
            result.insert(day);
        }
        const QDate easter = easterSunday(year);
        for (int offset : holidays.easterOffsets)
            result.insert(easter.addDays(offset));
    }
    return result;
}

struct Slot
{
    int seq = 0;   // NRSEQCNFMES, unique within the month of the service
    int order = 0; // position within its dish type, from 1
    QString type;
};

QList<Slot> slotsOf(const QList<SlotGroup> &groups)
{
    QList<Slot> result;
    for (const SlotGroup &group : groups)
        for (int order = 1; order <= group.count; ++order)
            result.append({int(result.size()) + 1, order, group.type});
    return result;
}

// ---------------------------------------------------------------------------
// Writing

QVariant nullReal()
{
    return QVariant(QMetaType::fromType<double>());
}

// One prepared INSERT into a table, executed once per row; `columns` are separated
// by spaces and the values of a row come in the same order.
class TableWriter
{
public:
    TableWriter(QSqlDatabase &db, const char *table, const char *columns)
        : TableWriter(db, table, QString::fromLatin1(columns).split(QLatin1Char(' ')))
    {}

    TableWriter(QSqlDatabase &db, const char *table, const QStringList &names)
        : m_table(QLatin1String(table))
        , m_query(db)
    {
        const QStringList marks(names.size(), QStringLiteral("?"));
        const QString sql =
            QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                .arg(m_table, names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
        if (!m_query.prepare(sql))
            fail();
    }

    void add(const QVariantList &values)
    {
        for (const QVariant &value : values)
            m_query.addBindValue(value);
        if (!m_query.exec())
            fail();
    }

private:
    [[noreturn]] void fail() const
    {
        throw Error(text("DEMO_WRITE_FAILED").arg(m_table, m_query.lastError().text()));
    }

    QString m_table;
    QSqlQuery m_query;
};

void requireEmpty(QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM FILIAL")) || !q.next())
        throw Error(text("DEMO_READ_FAILED").arg(QStringLiteral("FILIAL"), q.lastError().text()));
    if (q.value(0).toLongLong() > 0)
        throw Error(text("DEMO_NOT_EMPTY"));
}

void writeCatalogue(QSqlDatabase &db, const DemoData &data)
{
    TableWriter diets(db, "DIETPADR", "CDDIETPAD DSDIETPAD");
    for (const Diet &diet : data.diets)
        diets.add({diet.code, diet.name});

    TableWriter types(db, "TIPOPRAT", "CDTIPOPRAT NMTIPOPRAT");
    for (const DishType &type : data.dishTypes)
        types.add({type.code, type.name});

    TableWriter dishes(db, "PRATO", "CDFILAUXPRAT CDPRATO NMPRATO CDTIPOPRAT VRPECONSPAD");
    for (const Dish &dish : data.dishes)
        dishes.add({data.catalogueBranch, dish.code, dish.name, dish.type, dish.perCapita});
}

void writeBranches(QSqlDatabase &db, const DemoData &data)
{
    TableWriter branches(db, "FILIAL", "CDFILIAL NMFILIAL");
    TableWriter params(db, "PARAMPLANEJA", "CDFILIAL IDCARDIAUTIL");
    TableWriter services(db, "SERVICO", "CDFILIAL CDSERVFILI NMSERVICO IDTIPOSERV IDTPSERVHOSP");
    TableWriter served(db, "DIETSERV", "CDFILIAL CDSERVFILI CDDIETPAD");
    for (const Branch &branch : data.branches) {
        branches.add({branch.code, branch.name});
        params.add({branch.code, branch.planningWorkdays});
        for (const BranchService &bs : branch.services) {
            const Service &s = *bs.service;
            services.add({branch.code, s.code, s.name, s.type, s.hospitalType});
            for (const Diet *diet : bs.diets)
                served.add({branch.code, s.code, diet->code});
        }
    }
}

void writeShifts(QSqlDatabase &db, const DemoData &data)
{
    TableWriter shifts(db, "TURNOSERV",
                       "CDFILIAL CDSERVFILI CDTURNO QTCOMESTTDOM QTCOMESTTSEG QTCOMESTTTER "
                       "QTCOMESTTQUA QTCOMESTTQUI QTCOMESTTSEX QTCOMESTTSAB QTCOMESTTFER");
    for (const Branch &branch : data.branches) {
        for (const BranchService &bs : branch.services) {
            if (!bs.service->isDiet())
                continue;
            for (const Shift &shift : bs.service->shifts) {
                QVariantList row{branch.code, bs.service->code, shift.code};
                for (int weekday = 1; weekday <= 7; ++weekday)
                    row.append(double(shiftEstimate(branch, shift, weekday, false)));
                row.append(double(shiftEstimate(branch, shift, 1, true)));
                shifts.add(row);
            }
        }
    }
}

void writeHolidays(QSqlDatabase &db, const DemoData &data, const std::set<QDate> &holidays)
{
    TableWriter branchHolidays(db, "FERIFILI", "CDFILIAL DTFERIFILI");
    TableWriter menuHolidays(db, "FERICARD", "CDFILIAL DTFERICARD");
    for (const Branch &branch : data.branches) {
        for (const QDate &day : holidays) {
            branchHolidays.add({branch.code, day});
            if (branch.holidayCards)
                menuHolidays.add({branch.code, day});
        }
    }
}

void writeEstimates(QSqlDatabase &db, const DemoData &data)
{
    TableWriter estimates(db, "ESTIDIETA",
                          "CDFILIAL CDSERVFILI CDDIETPAD NRDIASEMANA QTCOMESTICAR QTCLIESTICAR "
                          "QTFUNESTICAR QTDOAESTICAR");
    for (const Branch &branch : data.branches) {
        for (const BranchService &bs : branch.services) {
            if (!bs.service->isDiet())
                continue;
            for (const Diet *diet : bs.diets) {
                for (int weekday = 1; weekday <= 7; ++weekday) {
                    const DinerEstimate e =
                        dinerEstimate(data, branch, *bs.service, *diet, weekday);
                    estimates.add({branch.code, bs.service->code, diet->code, weekday,
                                   double(e.total), double(e.patients), double(e.staff),
                                   double(e.companions)});
                }
            }
        }
    }
}

void writeMonthSlots(QSqlDatabase &db, const DemoData &data, const QDate &month)
{
    TableWriter config(db, "CNFCAMES",
                       "CDFILIAL CDSERVFILI DTREFECNFMES NRSEQCNFMES CDTIPOPRAT NRORDCNFMES");
    const QDate nextMonth = month.addMonths(1);
    for (const Branch &branch : data.branches) {
        for (const BranchService &bs : branch.services) {
            if (!bs.service->isDiet())
                continue;
            for (const Slot &slot : slotsOf(bs.service->dishSlots))
                config.add({branch.code, bs.service->code, month, slot.seq, slot.type, slot.order});
            for (const Slot &slot : slotsOf(bs.service->nextMonthSlots))
                config.add(
                    {branch.code, bs.service->code, nextMonth, slot.seq, slot.type, slot.order});
        }
    }
}

// The dishes of the catalogue a diet of the given consistency may receive, per type.
class DishChooser
{
public:
    explicit DishChooser(const DemoData &data)
    {
        for (const Dish &dish : data.dishes)
            for (const QString &consistency : dish.consistencies)
                m_candidates[key(consistency, dish.type)].append(&dish);
    }

    // The dishes for the slots of one type on one day: consecutive dishes of the
    // candidate list, starting further along every day so the menu rotates.
    QList<const Dish *> choose(const QString &consistency, const QString &type, int count,
                               int rotation) const
    {
        const QList<const Dish *> candidates = m_candidates.value(key(consistency, type));
        QList<const Dish *> chosen;
        if (candidates.isEmpty())
            return chosen;
        const qsizetype start = (qsizetype(rotation) * count) % candidates.size();
        for (qsizetype i = 0; i < std::min<qsizetype>(count, candidates.size()); ++i)
            chosen.append(candidates.at((start + i) % candidates.size()));
        return chosen;
    }

private:
    static QString key(const QString &consistency, const QString &type)
    {
        return consistency + QLatin1Char('|') + type;
    }

    QHash<QString, QList<const Dish *>> m_candidates;
};

class MenuWriter
{
public:
    MenuWriter(QSqlDatabase &db, const DemoData &data, const QDate &month,
               const std::set<QDate> &holidays)
        : m_data(data)
        , m_month(month)
        , m_holidays(holidays)
        , m_chooser(data)
        , m_headers(db, "CARDADIA",
                    "CDFILIAL CDSERVFILI DTCARDAPIO CDDIETPAD DSDIETPAD NRCARDAPIO CDOPERADOR "
                    "QTCOMESTICAR QTESTITURNO1 QTESTITURNO2 QTESTITURNO3 QTESTITURNO4 QTCLIESTICAR "
                    "QTFUNESTICAR QTDOAESTICAR DTMESCARD DTULTATUACAR")
        , m_dishes(db, "COMPCARD", layout(QStringLiteral("cdsCompCardCache")).dataFieldNames())
        , m_sequences(db, "CARDSEQ", "CDFILIAL NRULTCARD")
    {}

    void writeBranch(const Branch &branch, int branchIndex)
    {
        int lastNumber = 0;
        for (qsizetype s = 0; s < branch.services.size(); ++s) {
            const BranchService &bs = branch.services.at(s);
            if (!bs.menus || !bs.service->isDiet())
                continue;
            const QList<Slot> dishSlots = slotsOf(bs.service->dishSlots);
            for (int d = 0; d < m_month.daysInMonth(); ++d) {
                // lunch and dinner, and the two branches, start at different dishes
                const int rotation = d + 3 * int(s) + 5 * branchIndex;
                for (const Diet *diet : bs.diets)
                    writeMenu(branch, bs, *diet, m_month.addDays(d), QString::number(++lastNumber),
                              dishSlots, rotation);
            }
        }
        m_sequences.add({branch.code, lastNumber});
    }

private:
    void writeMenu(const Branch &branch, const BranchService &bs, const Diet &diet,
                   const QDate &day, const QString &number, const QList<Slot> &dishSlots,
                   int rotation)
    {
        const Service &service = *bs.service;
        const int weekday = weekdayNumber(day);
        const bool holiday = branch.holidayCards && m_holidays.count(day) > 0;
        const DinerEstimate e = dinerEstimate(m_data, branch, service, diet, weekday);
        QVariantList shifts;
        for (int i = 0; i < 4; ++i)
            shifts.append(i < service.shifts.size()
                              ? QVariant(double(
                                    shiftEstimate(branch, service.shifts.at(i), weekday, holiday)))
                              : nullReal());
        m_headers.add({branch.code, service.code, day, diet.code, diet.name, number,
                       m_data.operatorCode, double(e.total), shifts.at(0), shifts.at(1),
                       shifts.at(2), shifts.at(3), double(e.patients), double(e.staff),
                       double(e.companions), m_month, day});

        for (const DishType &type : m_data.dishTypes) {
            QList<const Slot *> typeSlots;
            for (const Slot &slot : dishSlots)
                if (slot.type == type.code)
                    typeSlots.append(&slot);
            const QList<const Dish *> chosen =
                m_chooser.choose(diet.consistency, type.code, int(typeSlots.size()), rotation);
            for (qsizetype i = 0; i < chosen.size(); ++i) {
                const Slot &slot = *typeSlots.at(i);
                const Dish &dish = *chosen.at(i);
                const QString typeLabel = QStringLiteral("%1%2%3")
                                              .arg(slot.order, 3, 10, QLatin1Char('0'))
                                              .arg(type.code, type.name);
                m_dishes.add({branch.code, day, diet.code, number, slot.seq, m_data.catalogueBranch,
                              dish.code, dish.name, dish.perCapita, type.code, typeLabel,
                              slot.order, service.code});
            }
        }
    }

    const DemoData &m_data;
    QDate m_month;
    const std::set<QDate> &m_holidays;
    DishChooser m_chooser;
    TableWriter m_headers;
    TableWriter m_dishes;
    TableWriter m_sequences;
};

void writeAll(QSqlDatabase &db, const DemoData &data, const QDate &month)
{
    requireEmpty(db);
    const std::set<QDate> holidays =
        holidaysOf(data.holidays, {month.year(), month.addMonths(1).year()});
    writeCatalogue(db, data);
    writeBranches(db, data);
    writeShifts(db, data);
    writeHolidays(db, data, holidays);
    writeEstimates(db, data);
    writeMonthSlots(db, data, month);
    MenuWriter menus(db, data, month, holidays);
    for (qsizetype b = 0; b < data.branches.size(); ++b)
        menus.writeBranch(data.branches.at(b), int(b));
}

} // namespace

void seedDemo(QSqlDatabase &db, const QDate &month)
{
    if (!isFirstOfMonth(month))
        throw Error(text("DEMO_MONTH_NOT_FIRST").arg(month.toString(QStringLiteral("dd/MM/yyyy"))));
    const DemoData data = loadDemoData();

    if (!db.transaction())
        throw Error(text("DEMO_NO_TRANSACTION").arg(db.lastError().text()));
    try {
        // the statements live inside writeAll, so none is open at commit time
        writeAll(db, data, month);
    } catch (...) {
        db.rollback();
        throw;
    }
    if (!db.commit()) {
        const QString reason = db.lastError().text();
        db.rollback();
        throw Error(text("DEMO_COMMIT_FAILED").arg(reason));
    }
}

} // namespace zov
