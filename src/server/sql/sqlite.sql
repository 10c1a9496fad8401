-- SQLite forms of the statements that differ between databases.

-- name: DIET_IN_LIST
INSTR(?, '_' || {COLUMN} || '_') > 0;

-- name: seq_max_number
SELECT MAX(CAST(NRCARDAPIO AS INTEGER)) FROM CARDADIA
WHERE CDFILIAL = ? AND NRCARDAPIO <> '' AND NRCARDAPIO NOT GLOB '*[^0-9]*'
  AND length(NRCARDAPIO) <= 10;
