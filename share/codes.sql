-- The access database of dorvane: one table that maps each known scan code
-- to the name of the reader it belongs to.
--   sqlite3 /var/ulx/access.db < codes.sql
--   sqlite3 /var/ulx/access.db "INSERT INTO codes VALUES ('04A1', 'Door1');"
CREATE TABLE IF NOT EXISTS codes (
    sc     TEXT PRIMARY KEY,  -- the scan code as the reader reports it
    reader TEXT               -- the reader's name in the pairing file
);
