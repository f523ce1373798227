#include "MessageBoxes.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

// The buttons' captions for the translation tools.
class TMessageBoxes {
    Q_DECLARE_TR_FUNCTIONS(TMessageBoxes)
};

#ifdef CORVENA_TEST_SEAMS
using TBoxHandler = std::function<TBoxAnswer(const TBoxRequest&)>;
TBoxHandler BoxHandler;
#endif

// The real boxes on screen now, innermost last.
std::vector<QPointer<QMessageBox>>& OpenBoxes() {
    static std::vector<QPointer<QMessageBox>> Boxes;
    return Boxes;
}

TBoxRequest MakeRequest(TBoxKind AKind, const QString& ATitle, const QString& AText) {
    TBoxRequest Request;
    Request.Kind = AKind;
    Request.Title = ATitle;
    Request.Text = AText;
    if (AKind == TBoxKind::Confirmation) {
        Request.Buttons = QStringList{TMessageBoxes::tr("是(&Y)"), TMessageBoxes::tr("否(&N)")};
        Request.Answers = {TBoxAnswer::Yes, TBoxAnswer::No};
    } else {
        Request.Buttons = QStringList{TMessageBoxes::tr("确定")};
        Request.Answers = {TBoxAnswer::Ok};
    }
    Request.DefaultButton = 0;
    return Request;
}

// QMessageBox places itself over its parent; ours belong in the middle of the screen.
class TCentredMessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* AEvent) override {
        QMessageBox::showEvent(AEvent);
        CentreOnScreen(this);
    }
};

// Texts may break lines the Windows way ("\r" alone included); a label only knows "\n".
QString DisplayText(QString AText) {
    AText.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    AText.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return AText;
}

// The text as rich text in which every line holding one of AUnbroken is a block whose lines
// are never broken: a file name wrapped at a "/" or a blank reads as two names.
QString UnbrokenText(const QString& AText, const QStringList& AUnbroken) {
    QString Html;
    for (const QString& Line : DisplayText(AText).split(QLatin1Char('\n'))) {
        const bool Keep = std::any_of(AUnbroken.begin(), AUnbroken.end(), [&Line](const QString& APart) {
            return !APart.isEmpty() && Line.contains(APart);
        });
        Html += Keep ? QStringLiteral("<div style=\"white-space:pre\">") : QStringLiteral("<div>");
        Html += Line.isEmpty() ? QStringLiteral("&nbsp;") : Line.toHtmlEscaped();
        Html += QStringLiteral("</div>");
    }
    return Html;
}

TBoxAnswer ShowRealBox(QWidget* AParent, const TBoxRequest& ARequest) {
    TCentredMessageBox Box(AParent);
    Box.setWindowTitle(ARequest.Title);
    if (ARequest.Unbroken.isEmpty()) {
        Box.setTextFormat(Qt::PlainText);
        Box.setText(DisplayText(ARequest.Text));
    } else {
        Box.setTextFormat(Qt::RichText);
        Box.setText(UnbrokenText(ARequest.Text, ARequest.Unbroken));
    }
    Box.setIcon(ARequest.Kind == TBoxKind::Confirmation ? QMessageBox::Question
                                                        : QMessageBox::Critical);
    const std::vector<TBoxAnswer>& Answers = ARequest.Answers;
    std::vector<QPushButton*> Buttons;
    for (qsizetype I = 0; I < ARequest.Buttons.size(); ++I) {
        QMessageBox::ButtonRole Role = QMessageBox::AcceptRole;
        if (Answers[static_cast<std::size_t>(I)] == TBoxAnswer::Yes)
            Role = QMessageBox::YesRole;
        else if (Answers[static_cast<std::size_t>(I)] == TBoxAnswer::No)
            Role = QMessageBox::NoRole;
        Buttons.push_back(Box.addButton(ARequest.Buttons[I], Role));
    }
    Box.setDefaultButton(Buttons[static_cast<std::size_t>(ARequest.DefaultButton)]);
    OpenBoxes().push_back(&Box);
    Box.exec();
    std::erase_if(OpenBoxes(), [&Box](const QPointer<QMessageBox>& AOpen) { return AOpen == &Box; });
    const auto Clicked = std::find(Buttons.begin(), Buttons.end(), Box.clickedButton());
    if (Clicked != Buttons.end())
        return Answers[static_cast<std::size_t>(Clicked - Buttons.begin())];
    // Closed by the title bar: a question counts as No.
    return Answers.back();
}

TBoxAnswer Show(QWidget* AParent, const TBoxRequest& ARequest) {
#ifdef CORVENA_TEST_SEAMS
    if (BoxHandler)
        return BoxHandler(ARequest);
#endif
    return ShowRealBox(AParent, ARequest);
}

} // namespace

void DismissOpenBoxes() {
    for (const QPointer<QMessageBox>& Box : OpenBoxes())
        if (Box)
            Box->reject();
}

void ErrorBox(QWidget* AParent, const QString& ATitle, const QString& AText, const QStringList& AUnbroken) {
    TBoxRequest Request = MakeRequest(TBoxKind::Error, ATitle, AText);
    Request.Unbroken = AUnbroken;
    Show(AParent, Request);
}

bool ConfirmBox(QWidget* AParent, const QString& ATitle, const QString& AText) {
    return Show(AParent, MakeRequest(TBoxKind::Confirmation, ATitle, AText)) == TBoxAnswer::Yes;
}

void ExceptionBox(QWidget* AParent, const std::exception& AError) {
    ErrorBox(AParent, QGuiApplication::applicationDisplayName(), QString::fromUtf8(AError.what()));
}

void CentreOnScreen(QWidget* AWindow) {
    const QScreen* Screen = AWindow->screen();
    if (!Screen)
        Screen = QGuiApplication::primaryScreen();
    if (!Screen)
        return;
    const QRect Frame = AWindow->frameGeometry();
    AWindow->move(Screen->availableGeometry().center() -
                  QPoint(Frame.width() / 2, Frame.height() / 2));
}

#ifdef CORVENA_TEST_SEAMS
// The tests answer the boxes through this (declared in the tests' BoxSeams.h).
TBoxHandler SetBoxHandler(TBoxHandler AHandler) {
    return std::exchange(BoxHandler, std::move(AHandler));
}
#endif
