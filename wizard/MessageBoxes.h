#pragma once

// Every modal message box of the program goes through here, so that tests can answer
// them without a human: a box that waits for a click would hang an offscreen test.

#include <QString>
#include <QStringList>

#include <deque>
#include <exception>
#include <functional>
#include <vector>

class QWidget;

enum class TBoxKind { Error, Confirmation };

enum class TBoxAnswer { Ok, Yes, No };

// What a box shows: its buttons are listed by caption in screen order, and DefaultButton
// indexes the one that Enter presses.
struct TBoxRequest {
    TBoxKind Kind = TBoxKind::Error;
    QString Title;
    QString Text;
    QStringList Buttons;
    int DefaultButton = 0;
    // Parts of Text (file names) that a line is never broken inside: a line holding one is
    // laid out on one line, however wide the box gets.
    QStringList Unbroken;
};

// Error icon and the single button "确定"; centred on the screen.
void ErrorBox(QWidget* AParent, const QString& ATitle, const QString& AText,
              const QStringList& AUnbroken = {});

// Question icon with "是(&Y)" (the default) and "否(&N)"; centred on the screen.
// True when the user answered Yes.
bool ConfirmBox(QWidget* AParent, const QString& ATitle, const QString& AText);

// An error that escaped an event handler: its own message in an error box titled with the
// program's name, after which the program goes on.
void ExceptionBox(QWidget* AParent, const std::exception& AError);

// Closes every real box on screen as if by its title bar (a question then answers No).
void DismissOpenBoxes();

// Places a top-level window, frame included, in the middle of the screen it is on.
void CentreOnScreen(QWidget* AWindow);

// Replaces the real boxes while set (an empty handler restores them); returns the handler
// it replaced.
using TBoxHandler = std::function<TBoxAnswer(const TBoxRequest&)>;
TBoxHandler SetBoxHandler(TBoxHandler AHandler);

// For tests: while alive, answers boxes from a queue and records every box shown. A box
// with no queued answer, or with an answer none of its buttons gives, gets its default
// button, as if the user had pressed Enter.
class TScriptedBoxes {
public:
    TScriptedBoxes();
    ~TScriptedBoxes();
    TScriptedBoxes(const TScriptedBoxes&) = delete;
    TScriptedBoxes& operator=(const TScriptedBoxes&) = delete;

    TScriptedBoxes& Answer(TBoxAnswer AAnswer);
    const std::vector<TBoxRequest>& Shown() const { return FShown; }
    std::size_t Unanswered() const { return FAnswers.size(); }
    void Clear();

private:
    TBoxAnswer Handle(const TBoxRequest& ARequest);

    TBoxHandler FPrevious;
    std::deque<TBoxAnswer> FAnswers;
    std::vector<TBoxRequest> FShown;
};
