// The command line of corvena-index.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

struct TIndexOptions {
    QString SongsDir;
    QString Master;
    QString Local; // empty: the local database the wizard would open
    QString UnmatchedFile;
    QString NearMatchesFile;
    QString SummaryJsonFile;
    bool OnlyAdd = false;
    bool SkipKnown = false;
    bool Watch = false;
    bool Quiet = false;
    bool Help = false;
    bool Version = false;
};

// Reads the arguments after the program name; returns the error text ("" when they are good).
std::string ParseIndexArguments(const QStringList& AArguments, TIndexOptions& AOptions);

// The --help text.
QString IndexUsage();

// The --version line.
QString IndexVersion();
