-- What each role of roles.sql may do in the database zov, by the cluster's superuser
-- on the database host, after zov-db init, after every zov-db upgrade (it grants on
-- the tables an upgrade added) and after a restore:
--
--   sudo -u postgres psql -v ON_ERROR_STOP=1 <grants.sql
--
-- It names no password and may run any number of times. Tables not there yet (a
-- database before zov-db init) are left out.

\connect zov
REVOKE ALL ON DATABASE zov FROM PUBLIC;
GRANT CONNECT ON DATABASE zov TO zov_owner, zov_server, zov_workstation;
REVOKE CREATE ON SCHEMA public FROM PUBLIC;
GRANT USAGE, CREATE ON SCHEMA public TO zov_owner;
GRANT USAGE ON SCHEMA public TO zov_server, zov_workstation;

-- what each role needs of each table (only the tables already there)
SELECT format('GRANT %s ON %I TO %I', privileges, lower(tbl), role)
FROM (VALUES
    -- the servers: the reference tables they read
    ('FILIAL', 'SELECT', 'zov_server'),
    ('SERVICO', 'SELECT', 'zov_server'),
    ('DIETPADR', 'SELECT', 'zov_server'),
    ('DIETSERV', 'SELECT', 'zov_server'),
    ('ESTIDIETA', 'SELECT', 'zov_server'),
    ('TIPOPRAT', 'SELECT', 'zov_server'),
    ('CNFCAMES', 'SELECT', 'zov_server'),
    ('ZOVSCHEMA', 'SELECT', 'zov_server'),
    -- the operators and their credentials (kept by zov-db operator, as zov_owner)
    ('OPERADOR', 'SELECT', 'zov_server'),
    ('OPERADORCRED', 'SELECT', 'zov_server'),
    -- the menus, the numbers, the batches and what an undo needs
    ('CARDADIA', 'SELECT, INSERT, UPDATE, DELETE', 'zov_server'),
    ('COMPCARD', 'SELECT, INSERT, UPDATE, DELETE', 'zov_server'),
    ('CARDSEQ', 'SELECT, INSERT, UPDATE', 'zov_server'),
    ('LOTEIMPORT', 'SELECT, INSERT, DELETE', 'zov_server'),
    ('LOTEAUDITORIA', 'SELECT, INSERT', 'zov_server'),
    ('IMPORTACAO', 'SELECT, INSERT, DELETE', 'zov_server'),
    ('IMPORTACAODIA', 'SELECT, INSERT, UPDATE, DELETE', 'zov_server'),
    -- the workstations: the reference tables the screen reads
    ('FILIAL', 'SELECT', 'zov_workstation'),
    ('SERVICO', 'SELECT', 'zov_workstation'),
    ('DIETPADR', 'SELECT', 'zov_workstation'),
    ('DIETSERV', 'SELECT', 'zov_workstation'),
    ('TURNOSERV', 'SELECT', 'zov_workstation'),
    ('FERIFILI', 'SELECT', 'zov_workstation'),
    ('FERICARD', 'SELECT', 'zov_workstation'),
    ('PARAMPLANEJA', 'SELECT', 'zov_workstation'),
    ('ZOVSCHEMA', 'SELECT', 'zov_workstation')
) AS g(tbl, privileges, role)
WHERE to_regclass(lower(tbl)) IS NOT NULL
\gexec
