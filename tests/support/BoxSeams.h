// The tests' answers to the wizard's message boxes and file dialogs, built only into the test
// builds of the programs (the CORVENA_TEST_SEAMS property of the tests' folder picks them).
#pragma once

#include "FileDialogs.h"
#include "MessageBoxes.h"

#include <deque>
#include <functional>
#include <vector>

class QFileDialog;

// Replaces the real boxes while set (an empty handler restores them); returns the handler it
// replaced.
using TBoxHandler = std::function<TBoxAnswer(const TBoxRequest&)>;
TBoxHandler SetBoxHandler(TBoxHandler AHandler);

// Replaces showing the real dialogs while set (an empty handler restores them); the handler
// gets each dialog as it would have been shown and returns the answer. Returns the previous.
using TDialogHandler = std::function<QString(TDialogKind AKind, QFileDialog& ADialog)>;
TDialogHandler SetDialogHandler(TDialogHandler AHandler);

// While alive, answers boxes from a queue and records every box shown. A box with no queued
// answer, or with an answer none of its buttons gives, gets its default button, as if the user
// had pressed Enter.
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
