// The language of the wizard's user interface. The Chinese texts are the source texts; an
// English locale gets the wizard's own English translation, every other locale keeps Chinese
// and gets Qt's own Chinese for the standard dialogs and buttons.
#pragma once

#include <QByteArray>

#include <memory>

class QTranslator;

enum class TUiLanguage { Chinese, English };

// From the POSIX locale variables as POSIX orders them for messages: the first that is set of
// LC_ALL, LC_MESSAGES and LANG. English when its language part is "en"; anything else, "C"
// and "POSIX" included, is Chinese.
TUiLanguage UiLanguageFromLocale(const QByteArray& ALcAll, const QByteArray& ALcMessages,
                                 const QByteArray& ALang);
TUiLanguage UiLanguageFromEnvironment();

// Installs the translations of a language into the application for as long as it lives.
class TUiTranslations {
public:
    explicit TUiTranslations(TUiLanguage ALanguage);
    ~TUiTranslations();
    TUiTranslations(const TUiTranslations&) = delete;
    TUiTranslations& operator=(const TUiTranslations&) = delete;

    TUiLanguage Language() const { return FLanguage; }
    // Whether the wizard's own English, or Qt's Chinese, could be loaded.
    bool OwnLoaded() const { return FOwn != nullptr; }
    bool QtLoaded() const { return FQt != nullptr; }

private:
    TUiLanguage FLanguage;
    std::unique_ptr<QTranslator> FOwn;
    std::unique_ptr<QTranslator> FQt;
};
