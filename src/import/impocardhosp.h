#pragma once

#include "appserver.h"
#include "error.h"
#include "importreport.h"
#include "importrun.h"
#include "query.h"
#include "recordset.h"
#include "signatures.h"
#include "unitvalues.h"

#include <QDate>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace zov {

class AppServer;
class RpcConnection;

// The logic of the screen "Importação de Cardapio do Dia" without widgets: the
// values its controls hold, the handlers of its events, the validations, the loads
// and the import command. The Qt dialog binds its widgets to this object; the
// command line and the tests drive it directly. Handlers report what the user
// must correct through MensErro, which throws AbortError: callers of a handler (an
// event dispatch, a tool's main) catch it and zov::Error.
class ImpoCardHosp : public QObject
{
    Q_OBJECT
public:
    // The screen's controls whose values live here.
    enum Control {
        medCdFilial,
        edtNmFilial,
        medCdServico,
        edtNmServico,
        depCardOrig,
        edtDiaCardapio,
        depCardOrigAte,
        edtDiaCardapioAte,
        rbtTodosDiet,
        rbtListDiet,
        BtnDieta,
        rdbAcrescentar,
        rdbSobrepor,
        nedArredonda,
        panArredonda,
        pgbProgresso,
        lblProgresso,
        sbtImportExport,
        dbgPadrao,
        depRepetirAte,
        chkAlinhaSemana,
    };
    Q_ENUM(Control)

    explicit ImpoCardHosp(QObject *parent = nullptr);
    ~ImpoCardHosp() override;

    // FormCreate: opens the application-server connection NetImpoCardHosp with the
    // address of the login context, under the busy indication.
    void FormCreate();
    AppServer *connection() const { return m_server; }

    // Called after every progress step so that the window repaints.
    void setMessagePump(std::function<void()> pump) { m_pump = std::move(pump); }

    // --- values of the controls -------------------------------------------------
    QString branchText() const { return m_branch; }
    QString branchName() const { return m_branchName; }
    QString serviceText() const { return m_service; }
    QString serviceName() const { return m_serviceName; }
    QDate startDate() const { return m_start; } // null when the edit is empty
    QDate endDate() const { return m_end; }
    QDate untilDate() const { return m_until; } // "Repetir até"; null: no cycle
    bool alignWeekday() const { return m_alignWeekday; }
    QString startWeekday() const { return m_startWeekday; }
    QString endWeekday() const { return m_endWeekday; }
    bool allDiets() const { return m_allDiets; }
    bool listDiets() const { return m_listDiets; }
    bool dietButtonEnabled() const { return m_dietButtonEnabled; }
    ImportRun::Mode mode() const { return m_mode; }
    double rounding() const { return m_rounding; }
    bool roundingStripVisible() const { return m_roundingStripVisible; }
    int progressMaximum() const { return m_progressMax; }
    int progressPosition() const { return m_progressPos; }
    QString progressCaption() const { return m_caption; }
    bool importEnabled() const { return !m_running; }
    bool running() const { return m_running; }
    int modalResult() const { return m_modalResult; }
    bool firstActivation() const { return m_primeiraAtivacao; }
    // What the screen will do, for people: the destination (day and weekday, month
    // reference, service) and, once the source range is valid, the destination days;
    // and the diets chosen ("2 dietas: LIVRE, BRANDA").
    QString destinationLine() const;
    QString dietChoiceText() const;

    // The user's input. A change of the service text runs medCdServicoChange and a
    // change of a date its date-change handler, as in the screen.
    void setServiceText(const QString &text);
    void setStartDate(const QDate &date);
    void setEndDate(const QDate &date);
    // "Repetir até": the source range becomes a cycle repeated until that day; null
    // for the single import. Lined up by weekday when asked.
    void setUntil(const QDate &date);
    void setAlignWeekday(bool align);
    // The cycle of the choices on screen; none without "Repetir até".
    ImportRun::Cycle cycle() const;
    void setDietChoice(bool all, bool list); // checks the radio buttons, then grbDietaClick
    void setMode(ImportRun::Mode mode);
    void setRounding(double value);

    // --- handlers -----------------------------------------------------------------
    void FormActivate();
    void medCdServicoChange();
    void medCdServicoExit();
    void btnServicoBeforePesq();
    void btnServicoAfterPesq();
    // The service search button as a whole: before, the list, after a pick.
    void btnServicoClick();
    void depCardOrigDateChange();
    void depCardOrigAteDateChange();
    void depCardOrigAteExit(); // after the date edit's own check
    void btpDataCardClick();
    void grbDietaClick();
    void grbDietaExit();
    void BtnDietaClick();
    void panOrigemExit();
    void dbgPadraoEnter();
    void pgcGridExit();
    void sbtImportExportClick();

    // --- validations and loads ------------------------------------------------------
    void Vd_CdServico(bool obrigatorio);
    void Vd_Data();
    // the diets of the branch's service, with their names, in adqDietaX
    void openServiceDiets();
    void Vd_CdDieta(bool unused);
    void AtualizaCardapio();
    void Cardadia_Compcard();
    // The packet an answer holds, moved out of it; any other answer ends the handler.
    static Packet packetOf(QVariant &&value, Method method);
    // What the import runs on: the record sets and queries the checks loaded.
    ImportRun::Loaded loaded();

    // --- the preview and the selection it shows ---------------------------------------
    // The preview holds the source menu of the selection it was loaded for (branch,
    // service, dates, diet list); any change of that selection closes it, and the
    // import counts a preview of another selection as no preview.
    bool previewIsCurrent() const;
    // The selection changed while the grid had the focus: the screen reloads the
    // preview at once, so that the grid never shows another selection's menu.
    bool previewReloadDue() const { return m_previewReloadDue && m_gridFocused; }
    // Checks the range and loads the preview again; a failed check ends it.
    void reloadPreview();

    // --- record sets --------------------------------------------------------------------
    RecordSet cdsCardOrigem;
    RecordSet cdsTipoPrato;
    RecordSet cdsPesqConfDestino;
    RecordSet cdsTemCard;
    RecordSet cdsDieta;
    RecordSet cdsComensais;
    RecordSet cdsCardaDia;
    RecordSet cdsCompCardCache;
    RecordSet adqValidDiet;
    RecordSet adqData;
    RecordSet adqVerifCardaDia;

    // --- local queries --------------------------------------------------------------------
    std::unique_ptr<Query> qryServicoPesq;
    std::unique_ptr<Query> qryFeriFili;
    std::unique_ptr<Query> qryTurno;
    std::unique_ptr<Query> qryNaoUtil;
    std::unique_ptr<Query> adqDietaX;

    // A dry run goes through the whole import and stores nothing: the server rolls
    // back every batch and hands out provisional menu numbers. The screen stays open.
    void setDryRun(bool dryRun) { m_dryRun = dryRun; }
    bool dryRun() const { return m_dryRun; }
    // The job of the last "Importar" or "Simular" that passed the checks; null before.
    ImportRun *lastRun() const { return m_lastRun.get(); }
    // What the last run did, or would have done in a dry run; kept after an error
    // (empty when the checks stopped it).
    const ImportReport &report() const;

Q_SIGNALS:
    // A control's value, enabled state or visibility changed.
    void changed(zov::ImpoCardHosp::Control control);
    // A handler moves the focus to a control before it reports an error.
    void focusRequested(zov::ImpoCardHosp::Control control);
    // The screen is to close with this modal result.
    void modalResultChanged(int result);
    // "Importar" or "Simular" passed the checks: the job starts; listeners connect to it.
    void runStarted(zov::ImportRun *run);

private:
    struct Selection
    {
        QString branch;
        QString service;
        QDate start;
        QDate end;
        QString diets;
        bool operator==(const Selection &) const = default;
    };
    Selection selection() const;
    void selectionChanged();
    void closePreview();

    void set(QString &field, const QString &value, Control control);
    // a date edit's value: its date-change handler runs, and the selection changed
    void setDate(QDate &field, const QDate &date, Control control,
                 void (ImpoCardHosp::*dateChange)());
    void focus(Control control);
    void pump();
    QVariant remote(Method method, QVariantList &args);
    QVariant checkedRemote(Method method, QVariantList &args);
    void setProgress(int position);
    void setCaption(const QString &caption);
    void setRunning(bool running);

    // The checks of "Importar", in their order, and the loads the run reads; fills in
    // the diets of the report.
    void checkRun(ImportReport &report);
    void prepareRun(ImportReport &report);
    void checkCycle();
    // A cycle's days use their own months: the slots and the destination of every
    // month of the period; a month without slots is refused before anything is stored.
    void loadCycleMonths();
    void noSlotsIn(const QDate &month); // MES_SEM_POSICAO
    [[noreturn]] void callFailed(const Error &e);
    QString destinationServiceName() const; // of the entry's service, read once

    AppServer *m_server = nullptr;
    std::unique_ptr<RpcConnection> NetImpoCardHosp;
    std::function<void()> m_pump;

    bool m_primeiraAtivacao = true;
    QString m_branch;
    QString m_branchName;
    QString m_service;
    QString m_serviceName;
    mutable QString m_destinationServiceName; // the entry service's, read once
    QStringList m_pickedDietNames;            // of the last pick in the diet list
    QDate m_start;
    QDate m_end;
    QDate m_until;
    bool m_alignWeekday = false;
    QString m_startWeekday;
    QString m_endWeekday;
    bool m_allDiets = false;
    bool m_listDiets = false;
    bool m_dietButtonEnabled = false;
    ImportRun::Mode m_mode = ImportRun::Mode::Append;
    double m_rounding = 1.0;
    bool m_roundingStripVisible = true;
    int m_progressMax = 0;
    int m_progressPos = 0;
    QString m_caption;
    bool m_running = false;
    int m_modalResult = 0;

    std::optional<Selection> m_previewOf;
    bool m_gridFocused = false;
    bool m_previewReloadDue = false;

    bool m_dryRun = false;
    std::unique_ptr<ImportRun> m_lastRun;
};

} // namespace zov
