-- SQL Server's form, kept with the suite's others: dialectOf() picks it for no driver yet (QODBC reads the generic one)
SELECT
   CDFILIAL,
   NMSERVICO,
   CDSERVFILI,
   IDTIPOSERV
FROM
   SERVICO
WHERE
   (CDFILIAL   = CONVERT(VARCHAR, :P_CDFILIAL)) AND
   (IDTIPOSERV = 'D') AND
   ((IDTPSERVHOSP IS NULL) OR (IDTPSERVHOSP = '0'))
ORDER BY
   CDSERVFILI
