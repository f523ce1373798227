-- Local song database of the song-request system (the file the wizard and the plug-in fill).
-- Text columns compare without regard to letter case, as the song-request system expects.
-- PublishDate holds an OLE Automation date (days since 1899-12-30) as REAL.
CREATE TABLE Songs (
    SongID        INTEGER PRIMARY KEY AUTOINCREMENT,
    SongNumber    TEXT COLLATE NOCASE,
    SongName      TEXT COLLATE NOCASE,
    FilePath      TEXT COLLATE NOCASE,
    SingerName    TEXT COLLATE NOCASE,
    PYCode        TEXT COLLATE NOCASE,
    CharsCount    INTEGER,
    StrokesNumber INTEGER,
    LanguageID    INTEGER,
    TypeID        INTEGER,
    Special       TEXT COLLATE NOCASE,
    Track         INTEGER,
    Sound         INTEGER,
    IsNew         BOOLEAN,
    DemandTimes   INTEGER,
    MediaType     TEXT COLLATE NOCASE,
    FileSize      INTEGER,
    PublishDate   REAL
);
CREATE INDEX SongsFilePath ON Songs (FilePath);
CREATE INDEX SongsSongNumber ON Songs (SongNumber);

CREATE TABLE Discos (
    DiscoID    INTEGER PRIMARY KEY AUTOINCREMENT,
    DiscoName  TEXT COLLATE NOCASE,
    FilePath   TEXT COLLATE NOCASE,
    Player     TEXT COLLATE NOCASE,
    PYCode     TEXT COLLATE NOCASE,
    CharsCount INTEGER,
    LanguageID INTEGER,
    TypeID     INTEGER NOT NULL DEFAULT 0,
    Track      INTEGER,
    Sound      INTEGER
);
CREATE INDEX DiscosFilePath ON Discos (FilePath);

CREATE TABLE SongTypes (
    TypeID   INTEGER PRIMARY KEY AUTOINCREMENT,
    TypeName TEXT COLLATE NOCASE
);
CREATE INDEX SongTypesTypeName ON SongTypes (TypeName);

CREATE TABLE Languages (
    LanguageID   INTEGER PRIMARY KEY AUTOINCREMENT,
    LanguageName TEXT COLLATE NOCASE
);
CREATE INDEX LanguagesLanguageName ON Languages (LanguageName);

-- Read only for the wizard: the types that make a song a disco song.
CREATE TABLE DiscoTypes (
    TypeID   INTEGER,
    TypeName TEXT COLLATE NOCASE
);
