-- The roles of the menu import on PostgreSQL and its database, once, by the cluster's
-- superuser on the database host (psql reads the file from its standard input, so the
-- postgres user need not reach the file):
--
--   sudo -u postgres psql -v ON_ERROR_STOP=1 <roles.sql
--   sudo -u postgres psql -c '\password zov_owner'
--   sudo -u postgres psql -c '\password zov_server'
--   sudo -u postgres psql -c '\password zov_workstation'
--
-- The roles get no password here: \password asks for each one twice and sends the
-- server only its SCRAM verifier, so a password is never on a command line, in a file
-- or in the server's log in clear text. Then zov-db init, as zov_owner, creates the
-- tables, and grants.sql says what each role may do with them. Running this file
-- again changes nothing.
--   zov_owner        owns the tables: zov-db init, upgrade, seed-demo, purge-runs
--   zov_server       the application servers: read the reference tables, write the menus
--   zov_workstation  zov-host and zov-import: read the reference tables, nothing else

SELECT format('CREATE ROLE %I LOGIN', name)
FROM (VALUES ('zov_owner'), ('zov_server'), ('zov_workstation')) AS r(name)
WHERE NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = name)
\gexec

SELECT 'CREATE DATABASE zov OWNER zov_owner ENCODING ''UTF8'' TEMPLATE template0'
WHERE NOT EXISTS (SELECT 1 FROM pg_database WHERE datname = 'zov')
\gexec
