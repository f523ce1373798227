// The workers' status texts. Each goes to the window as zero-terminated UTF-16 text
// (WM_WIZ_STATUS), but is a value: the window tells which status came by the text's address,
// never by comparing the text, and shows it in its own language.
#pragma once

#include "WinMessages.h"

#include <optional>

enum class TWorkerStatus { Initializing, Searching, SearchDone, Indexing, IndexDone };

// The text sent; the same address for as long as the program runs.
const char16_t* WorkerStatusText(TWorkerStatus AStatus);
// The source text (UTF-8) for the translations, in the context "TWorkerStatus".
const char* WorkerStatusSource(TWorkerStatus AStatus);
// The status whose text AText (an lParam of WM_WIZ_STATUS) is; none for any other text.
std::optional<TWorkerStatus> WorkerStatusOf(TLParam AText);
// Sends AStatus to AHandle as the worker of wParam AWorker (0 search, 1 index).
void SendWorkerStatus(TWindowHandle AHandle, TWParam AWorker, TWorkerStatus AStatus);
