#include "BoxSeams.h"

#include <algorithm>

TScriptedBoxes::TScriptedBoxes()
    : FPrevious(SetBoxHandler([this](const TBoxRequest& ARequest) { return Handle(ARequest); })) {}

TScriptedBoxes::~TScriptedBoxes() { SetBoxHandler(std::move(FPrevious)); }

TScriptedBoxes& TScriptedBoxes::Answer(TBoxAnswer AAnswer) {
    FAnswers.push_back(AAnswer);
    return *this;
}

void TScriptedBoxes::Clear() {
    FAnswers.clear();
    FShown.clear();
}

TBoxAnswer TScriptedBoxes::Handle(const TBoxRequest& ARequest) {
    FShown.push_back(ARequest);
    const std::vector<TBoxAnswer>& Answers = ARequest.Answers;
    TBoxAnswer Result = Answers[static_cast<std::size_t>(ARequest.DefaultButton)];
    if (!FAnswers.empty()) {
        const TBoxAnswer Wanted = FAnswers.front();
        FAnswers.pop_front();
        if (std::find(Answers.begin(), Answers.end(), Wanted) != Answers.end())
            Result = Wanted;
    }
    return Result;
}
