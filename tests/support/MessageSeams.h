// What the tests reach inside the window messages, built only into the test builds of the
// programs (the CORVENA_TEST_SEAMS property of the tests' folder picks them).
#pragma once

#include "WinMessages.h"

#include <chrono>

// Waits until a message from another thread waits for the window under AHandle (queued, not yet
// handled); false when none did within ATimeout. Lets a test act between a send and its
// handling without guessing how long the sender takes.
bool WaitForPendingMessage(TWindowHandle AHandle, std::chrono::milliseconds ATimeout);
