-- SQL Server's form, kept with the suite's others: dialectOf() picks it for no driver yet (QODBC reads the generic one)
SELECT
   CDSERVFILI,
   NMSERVICO
FROM
   SERVICO
WHERE
   (CDFILIAL   = CONVERT(VARCHAR, :P_CDFILIAL)) AND
   (CDSERVFILI = CONVERT(VARCHAR, :P_CDSERVFILI))
