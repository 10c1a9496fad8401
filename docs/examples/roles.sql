-- The roles of the menu import on PostgreSQL and what each may do, for psql:
--
--   sudo -u postgres psql -v ON_ERROR_STOP=1 -v owner_password='...' \
--        -v server_password='...' -v workstation_password='...' -f roles.sql
--   zov-db init --db postgresql://zov_owner@db.hospital.local/zov
--   sudo -u postgres psql -v ON_ERROR_STOP=1 -v owner_password='...' \
--        -v server_password='...' -v workstation_password='...' -f roles.sql
--
-- The first run creates the roles and the database; zov-db init, as the owner, creates
-- the tables; the second run grants on them. Running it again changes nothing, and
-- after a zov-db upgrade it grants on any table the upgrade added.
--   zov_owner        owns the tables: zov-db init, upgrade, seed-demo, purge-runs
--   zov_server       the application servers: read the reference tables, write the menus
--   zov_workstation  zov-host and zov-import: read the reference tables, nothing else

SELECT format('CREATE ROLE %I LOGIN', name)
FROM (VALUES ('zov_owner'), ('zov_server'), ('zov_workstation')) AS r(name)
WHERE NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = name)
\gexec
ALTER ROLE zov_owner PASSWORD :'owner_password';
ALTER ROLE zov_server PASSWORD :'server_password';
ALTER ROLE zov_workstation PASSWORD :'workstation_password';

SELECT 'CREATE DATABASE zov OWNER zov_owner ENCODING ''UTF8'' TEMPLATE template0'
WHERE NOT EXISTS (SELECT 1 FROM pg_database WHERE datname = 'zov')
\gexec
REVOKE ALL ON DATABASE zov FROM PUBLIC;
GRANT CONNECT ON DATABASE zov TO zov_owner, zov_server, zov_workstation;

\connect zov
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
