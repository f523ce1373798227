#pragma once

// Every modal message box of the program goes through here, so that the test builds can answer
// them without a human (SetBoxHandler in the tests' BoxSeams.h): a box that waits for a click
// would hang an offscreen test.

#include <QString>
#include <QStringList>

#include <exception>
#include <vector>

class QWidget;

enum class TBoxKind { Error, Confirmation };

enum class TBoxAnswer { Ok, Yes, No };

// What a box shows: its buttons are listed by caption in screen order with the answer each
// gives, and DefaultButton indexes the one that Enter presses.
struct TBoxRequest {
    TBoxKind Kind = TBoxKind::Error;
    QString Title;
    QString Text;
    QStringList Buttons;
    std::vector<TBoxAnswer> Answers;
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
