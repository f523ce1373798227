// The list of collected files: owned by the wizard window and lent to both workers as a shared
// reference, so a worker still stopping after the window closed keeps it alive.
#pragma once

#include <QStringList>

#include <memory>

using TStringListRef = std::shared_ptr<QStringList>;
