-- PostgreSQL forms of the statements that differ between databases.

-- name: DIET_IN_LIST
POSITION('_' || {COLUMN} || '_' IN CAST(? AS VARCHAR)) > 0;

-- name: seq_max_number
SELECT MAX(CAST(NRCARDAPIO AS BIGINT)) FROM CARDADIA
WHERE CDFILIAL = ? AND NRCARDAPIO ~ '^[0-9]{1,10}$';
