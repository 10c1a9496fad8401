-- version 2: the audit of the stored batches, in their transactions
-- one row per stored batch and day and diet, written in the batch's own transaction:
-- who stored what, when, from where and for which run (an audit that a crash between
-- the commit and the log line cannot lose)
CREATE TABLE IF NOT EXISTS LOTEAUDITORIA (
    IDLOTE TEXT NOT NULL CHECK (length(IDLOTE) <= 64),
    NRLINHA INTEGER NOT NULL,
    CDFILIAL TEXT CHECK (length(CDFILIAL) <= 4),
    CDSERVFILI TEXT CHECK (length(CDSERVFILI) <= 5),
    DTCARDAPIO TEXT,
    CDDIETPAD TEXT CHECK (length(CDDIETPAD) <= 4),
    CDOPERADOR TEXT CHECK (length(CDOPERADOR) <= 12),
    DTHRGRAVACAO TEXT NOT NULL,
    IDIMPORTACAO TEXT CHECK (length(IDIMPORTACAO) <= 64),
    QTINCLUIDOS INTEGER NOT NULL,
    QTALTERADOS INTEGER NOT NULL,
    QTEXCLUIDOS INTEGER NOT NULL,
    DSORIGEM TEXT CHECK (length(DSORIGEM) <= 200),
    PRIMARY KEY (IDLOTE, NRLINHA)
);
