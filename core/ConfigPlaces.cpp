#include "ConfigPlaces.h"

#include <QStandardPaths>

namespace {

// A standard location's folder for this program, ending with the separator; "" when the
// platform has none (no home folder).
std::string ProgramFolder(QStandardPaths::StandardLocation ALocation) {
    const QString Base = QStandardPaths::writableLocation(ALocation);
    return Base.isEmpty() ? std::string() : (Base + QStringLiteral("/corvena/")).toStdString();
}

} // namespace

TConfigPlaces StandardConfigPlaces(const std::string& AProgramFile) {
    TConfigPlaces Places;
    Places.ProgramFile = AProgramFile;
    Places.UserConfigDir = ProgramFolder(QStandardPaths::GenericConfigLocation);
    Places.SystemConfigDir = "/etc/corvena/";
    Places.UserDataDir = ProgramFolder(QStandardPaths::GenericDataLocation);
    Places.InstalledBinDir = CORVENA_INSTALLED_BINDIR "/";
    return Places;
}
