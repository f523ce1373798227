-- Master song catalogue: every song by number and bare file name (no directory).
-- Text columns compare without regard to letter case; PublishDate is an OLE Automation date.
CREATE TABLE Songs (
    SongID       INTEGER PRIMARY KEY AUTOINCREMENT,
    SongNumber   TEXT COLLATE NOCASE,
    SongName     TEXT COLLATE NOCASE,
    FilePath     TEXT COLLATE NOCASE,
    SingerName   TEXT COLLATE NOCASE,
    LanguageName TEXT COLLATE NOCASE,
    TypeName     TEXT COLLATE NOCASE,
    Special      TEXT COLLATE NOCASE,
    PYCode       TEXT COLLATE NOCASE,
    MediaType    TEXT COLLATE NOCASE,
    PublishDate  REAL,
    CharsCount   INTEGER,
    Track        INTEGER,
    Sound        INTEGER,
    DemandTimes  INTEGER
);
CREATE INDEX SongsFilePath ON Songs (FilePath);
