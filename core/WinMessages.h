// Synchronous window messages between the wizard's workers, its window and the host program.
//
// A window registers itself under its handle with a handler. Sending to a handle of a window
// in this process is synchronous: a direct call on that window's thread, a blocking queued
// call from any other thread. A message to a window that has gone away is dropped (0 comes
// back) instead of touching freed memory, and a sender waiting for it is released; so is one
// waiting for a window whose thread ended (it runs no event loop any more). Handle 0 sends
// nothing; a handle that never belonged to a window here goes to the host link.
//
// Thread safety: every function here may be called from any thread, a window's registration
// too from a thread other than the window's.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

class QObject;

using TWindowHandle = std::uintptr_t;
using TWParam = std::uintptr_t;
using TLParam = std::intptr_t;

inline constexpr unsigned WM_USER = 0x400;
inline constexpr unsigned WM_WIZ_STATUS = WM_USER + 100;   // wParam 0 search, 1 index; lParam UTF-16 text
inline constexpr unsigned WM_WIZ_PROGRESS = WM_USER + 102; // wParam done so far or current; lParam 0 or total
inline constexpr unsigned WM_WIZ_INDEXED = WM_USER + 103;  // to the host: indexing has finished
inline constexpr unsigned WM_WIZ_CLOSE = WM_USER + 200;    // from the host: close without asking

using TMessageHandler = std::function<TLParam(unsigned AMsg, TWParam AWParam, TLParam ALParam)>;
using THostLink = std::function<TLParam(TWindowHandle AHandle, unsigned AMsg, TWParam AWParam,
                                        TLParam ALParam)>;

// Where a registered handler runs. A window's handler runs on the window's thread; a sink
// without a window (the headless program) may declare its handler thread-safe, and then every
// message is a direct call on the sender's thread: no hop and no wait per message.
enum class TDelivery { WindowThread, SenderThread };

// The messages a window takes on the sender's thread, whatever thread the window is on: each is
// a direct call of Handler (which must be thread-safe) on the thread that sends it, still
// synchronous and so in the order each sender sent them, but without waking the window's thread
// and waiting for it. For what a window only records (a worker's progress, shown at screen rate).
struct TSenderThreadMessages {
    std::vector<unsigned> Messages;
    TMessageHandler Handler;
};

// Registers AWindow's handler under AHandle (0 picks a fresh handle) and returns the handle.
// The registration ends by itself when AWindow is destroyed.
TWindowHandle RegisterWindow(QObject* AWindow, TMessageHandler AHandler, TWindowHandle AHandle = 0,
                             TDelivery ADelivery = TDelivery::WindowThread,
                             TSenderThreadMessages AOnSenderThread = {});
// Once this returns, no handler call of the registration (of either handler) runs on another
// thread any more: calls in flight on other threads are waited for (one on this thread is not:
// it may be the caller).
void UnregisterWindow(TWindowHandle AHandle);

// Delivers the message and waits until it has been handled; returns the handler's result.
TLParam SendMessageW(TWindowHandle AHandle, unsigned AMsg, TWParam AWParam, TLParam ALParam);

// True while a window of this process is registered under AHandle.
bool IsLocalWindow(TWindowHandle AHandle);

// Where messages to handles outside this process go; by default nowhere.
void SetHostLink(THostLink ALink);
