-- version 2: the audit of the stored batches, in their transactions
-- one row per stored batch and day and diet, written in the batch's own transaction:
-- who stored what, when, from where and for which run (an audit that a crash between
-- the commit and the log line cannot lose)
CREATE TABLE IF NOT EXISTS LOTEAUDITORIA (
    IDLOTE VARCHAR(64) NOT NULL,
    NRLINHA INTEGER NOT NULL,
    CDFILIAL VARCHAR(4),
    CDSERVFILI VARCHAR(5),
    DTCARDAPIO DATE,
    CDDIETPAD VARCHAR(4),
    CDOPERADOR VARCHAR(12),
    DTHRGRAVACAO VARCHAR(19) NOT NULL,
    IDIMPORTACAO VARCHAR(64),
    QTINCLUIDOS INTEGER NOT NULL,
    QTALTERADOS INTEGER NOT NULL,
    QTEXCLUIDOS INTEGER NOT NULL,
    DSORIGEM VARCHAR(200),
    PRIMARY KEY (IDLOTE, NRLINHA)
);
