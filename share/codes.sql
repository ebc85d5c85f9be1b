-- The access database of dorvane: one table that maps each known scan code
-- to the name of the reader it belongs to. dorvanectl makes new databases
-- from this very text (built into it); by hand:
--   sqlite3 /var/ulx/access.db < codes.sql
--
-- The checks refuse a row that the service could never match: a code or a
-- reader name that is not stored as text (a blob), that is empty, that holds
-- more than 127 bytes or a NUL byte. Not a STRICT table: SQLite 3.34 and
-- older cannot open one.
CREATE TABLE IF NOT EXISTS codes (
    -- the scan code as the reader reports it
    sc     TEXT PRIMARY KEY NOT NULL
           CONSTRAINT code_is_text_of_1_to_127_bytes_without_nul
           CHECK (typeof(sc) = 'text' AND length(CAST(sc AS BLOB)) BETWEEN 1 AND 127
                  AND instr(CAST(sc AS BLOB), x'00') = 0),
    -- the reader's name in the pairing file
    reader TEXT NOT NULL
           CONSTRAINT reader_is_text_of_1_to_127_bytes_without_nul
           CHECK (typeof(reader) = 'text' AND length(CAST(reader AS BLOB)) BETWEEN 1 AND 127
                  AND instr(CAST(reader AS BLOB), x'00') = 0)
);
