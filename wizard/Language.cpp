#include "Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

TUiLanguage UiLanguageFromLocale(const QByteArray& ALcAll, const QByteArray& ALcMessages,
                                 const QByteArray& ALang) {
    const QByteArray& Locale = !ALcAll.isEmpty() ? ALcAll : !ALcMessages.isEmpty() ? ALcMessages : ALang;
    // language[_territory][.codeset][@modifier]
    qsizetype End = 0;
    while (End < Locale.size() && Locale[End] != '_' && Locale[End] != '.' && Locale[End] != '@')
        ++End;
    return Locale.left(End) == "en" ? TUiLanguage::English : TUiLanguage::Chinese;
}

TUiLanguage UiLanguageFromEnvironment() {
    return UiLanguageFromLocale(qgetenv("LC_ALL"), qgetenv("LC_MESSAGES"), qgetenv("LANG"));
}

namespace {

// A translator installed in the application, or null when its file could not be loaded.
std::unique_ptr<QTranslator> Install(const QString& AName, const QString& AFolder) {
    auto Translator = std::make_unique<QTranslator>();
    if (!Translator->load(AName, AFolder) || !QCoreApplication::installTranslator(Translator.get()))
        return nullptr;
    return Translator;
}

} // namespace

TUiTranslations::TUiTranslations(TUiLanguage ALanguage) : FLanguage(ALanguage) {
    // The English texts are built into the program; Qt's Chinese comes with the system.
    if (ALanguage == TUiLanguage::English)
        FOwn = Install(QStringLiteral("corvena_en"), QStringLiteral(":/i18n"));
    else
        FQt = Install(QStringLiteral("qtbase_zh_CN"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

TUiTranslations::~TUiTranslations() {
    if (FOwn)
        QCoreApplication::removeTranslator(FOwn.get());
    if (FQt)
        QCoreApplication::removeTranslator(FQt.get());
}
