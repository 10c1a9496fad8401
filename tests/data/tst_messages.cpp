#include "messages.h"

#include <QLocale>
#include <QtTest>

using namespace zov;

class TestMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void message_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::newRow("accents") << "SERV_NAO_CAD" << QStringLiteral("Serviço não cadastrado.");
        QTest::newRow("double blanks")
            << "Mes_Igual"
            << QStringLiteral(
                   "O intervalo entre as datas 'de' e  'ate'  devem estar no mesmo mês.");
        QTest::newRow("exclamation")
            << "NAO_HA_CARD"
            << QStringLiteral("Operação bloqueada! Cardápio de origem não possui pratos.");
        QTest::newRow("no comensals")
            << "COMEN_ZERO" << QStringLiteral("Cardápio não importado para dias sem comensais.");
        QTest::newRow("trailing colon") << "IMP" << QStringLiteral("Importando:");
        QTest::newRow("no final stop") << "BASE" << QStringLiteral("Atualizando banco de dados");
        QTest::newRow("decimal comma")
            << "ARRE_DEVE" << QStringLiteral("Arredondamento deve estar entre 0 e 9,999.");
        QTest::newRow("placeholder kept")
            << "MsgErro"
            << QStringLiteral("Alguns dias passaram do mês: %s. Esses dias não Foram modificados.");
        QTest::newRow("lower-case key") << "cardapios" << QStringLiteral("Datas dos Cardápios");
        QTest::newRow("shifts") << "TURNO_MAIOR"
                                << QStringLiteral("O serviço possui mais de quatro turnos; o "
                                                  "cabeçalho do cardápio comporta no máximo "
                                                  "quatro.");
        QTest::newRow("last line")
            << "SEM_POSICAO"
            << QStringLiteral("Cardápio importado sem alguns pratos: o mês de destino não tem "
                              "posição configurada para o tipo deles. Veja no relatório quais "
                              "ficaram de fora.");
    }

    void message()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QVERIFY(TMessages::contains(key));
        QCOMPARE(TMessages::Msg(key), text);
    }

    void table()
    {
        const QStringList keys = {"SERV_DEVE",    "SERV_NAO_CAD",    "MESMO_CARD",
                                  "IMP",          "NAO_HA_CARD",     "BASE",
                                  "FILI_DEVE",    "FILI_NAO_CAD",    "FILI_RESC",
                                  "Padrao",       "ARRE_DEVE",       "Data_inf",
                                  "CARD_VAZIO",   "SUCESSO",         "cardapios",
                                  "diet_inf",     "diet_n_cad",      "Diet",
                                  "Mes_Igual",    "MsgErro",         "DATAINVAL",
                                  "COMEN_ZERO",   "DTFIN_MENOR",     "TURNO_MAIOR",
                                  "SEM_POSICAO",  "MES_SEM_POSICAO", "NADA_IMPORTAR",
                                  "SEM_DIA_UTIL", "SEM_DIETA"};
        QCOMPARE(TMessages::keys(), keys);
        for (const QString &key : keys) {
            const QString text = TMessages::Msg(key);
            QVERIFY2(!text.isEmpty() && text == text.trimmed(), qPrintable(key));
        }
        // keys are case-sensitive: "Diet" is a line, "DIET" is not
        QVERIFY(!TMessages::contains(QStringLiteral("DIET")));
        QCOMPARE(TMessages::Msg(QStringLiteral("DIET")), QStringLiteral("[DIET]"));
    }

    void dataInval()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(TMessages::dataInval(QDate(2024, 3, 31)),
                 QStringLiteral("Data final de origem deve ser menor ou igual a 31/03/2024."));
        QCOMPARE(TMessages::dataInval(QDate(2024, 1, 5)),
                 QStringLiteral("Data final de origem deve ser menor ou igual a 05/01/2024."));
    }
};

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"
