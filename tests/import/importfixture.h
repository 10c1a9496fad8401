#pragma once

#include "consiste.h"
#include "hostcontext.h"
#include "impocardhosp.h"
#include "importrunner.h"
#include "testdatabase.h"

#include <memory>

namespace zov::test {

// A small hospital for import tests: branch B1 with lunch (00001) and dinner
// (00002), diets 0001 LIVRE and 0002 BRANDA, dish types 01 SALADA and 02 PRATO
// PRINCIPAL. March 2024 holds source menus on the 4th, 5th and 6th (two salads and
// one main dish per diet); April 2024 has three slots: 11 and 12 for salads, 13 for
// the main dish. Diners: 150 for LIVRE and 80 for BRANDA every weekday; two shifts.
class ImportFixture
{
public:
    // `serverOffersStream` false: the server is a build from before the call stream,
    // and the run makes its calls one by one; `serverOffersStepReads` false: one from
    // before a step's reads in one call
    explicit ImportFixture(bool serverOffersStream = true, bool serverOffersStepReads = true);
    ~ImportFixture();

    static constexpr const char *kBranch = "B1";
    static constexpr const char *kLunch = "00001";
    static QDate march(int day) { return QDate(2024, 3, day); }
    static QDate april(int day) { return QDate(2024, 4, day); }

    // The hospital above, written into `db`.
    static void seed(const TestDatabase &db);
    // A source day of the seeded shape: two salads and a main dish per diet.
    void addSourceDay(const QDate &day, const QString &service = QStringLiteral("00001"));
    static void addSourceDay(const TestDatabase &db, const QDate &day,
                             const QString &service = QStringLiteral("00001"));

    // Opens the screen for destination `day` (entry values as the host gives them)
    // and runs its creation and first activation.
    ImpoCardHosp &open(const QDate &day, int semArredondamento = 0,
                       const QString &service = QStringLiteral("00001"),
                       const QDate &month = {}); // the day's month when null

    // What the planner does before clicking "Importar": the range, the diets
    // (empty: "Todos"; else the picked list), the mode and the rounding, then the
    // focus moves from the panel into the grid.
    void choose(const QDate &from, const QDate &to = {}, bool append = true, double rounding = 1,
                const QString &dietList = {});

    // Clicks "Importar"; false when the command ended with an error.
    bool import();

    QString dishesOf(const QDate &day, const QString &diet) const; // "seq:dish:percapita;..."
    QVariant headerValue(const QDate &day, const QString &diet, const QString &column) const;

    TestDatabase db;
    std::unique_ptr<TestServer> server;
    RecordingPresenter presenter;
    std::unique_ptr<ImpoCardHosp> screen;
    std::unique_ptr<ImportRunner> runner;
    ImportRequest request; // what open() and choose() were given
    QList<ImpoCardHosp::Control> focusMoves;
    QString lastError; // text of a plain error that ended the command
};

} // namespace zov::test
