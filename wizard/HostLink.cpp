#include "HostLink.h"

#include "WinMessages.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace {

xcb_atom_t InternAtom(xcb_connection_t* AConnection, const char* AName) {
    const xcb_intern_atom_cookie_t Cookie =
        xcb_intern_atom(AConnection, 0, static_cast<std::uint16_t>(std::strlen(AName)), AName);
    xcb_intern_atom_reply_t* Reply = xcb_intern_atom_reply(AConnection, Cookie, nullptr);
    const xcb_atom_t Atom = Reply ? Reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(Reply);
    return Atom;
}

// Only messages that carry numbers alone ever leave the process.
bool CrossesToTheHost(unsigned AMsg) { return AMsg == WM_WIZ_INDEXED || AMsg == WM_WIZ_CLOSE; }

TLParam SendToHost(xcb_connection_t* AConnection, xcb_atom_t AAtom, TWindowHandle AHandle,
                   unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    if (!CrossesToTheHost(AMsg) || AHandle > std::numeric_limits<std::uint32_t>::max())
        return 0;
    xcb_client_message_event_t Event;
    std::memset(&Event, 0, sizeof Event);
    Event.response_type = XCB_CLIENT_MESSAGE;
    Event.format = 32;
    Event.window = static_cast<xcb_window_t>(AHandle);
    Event.type = AAtom;
    Event.data.data32[0] = AMsg;
    Event.data.data32[1] = static_cast<std::uint32_t>(AWParam);
    Event.data.data32[2] = static_cast<std::uint32_t>(ALParam);
    // The checked request waits for the server's answer: the round trip that makes the send
    // synchronous. A window that has gone gives an error, which is no concern of ours.
    const xcb_void_cookie_t Cookie =
        xcb_send_event_checked(AConnection, 0, Event.window, XCB_EVENT_MASK_NO_EVENT,
                               reinterpret_cast<const char*>(&Event));
    std::free(xcb_request_check(AConnection, Cookie));
    return 0;
}

class TX11HostFilter : public QAbstractNativeEventFilter {
public:
    explicit TX11HostFilter(xcb_atom_t AAtom) : FAtom(AAtom) {}

    bool nativeEventFilter(const QByteArray& AEventType, void* AMessage, qintptr*) override {
        if (AEventType != "xcb_generic_event_t")
            return false;
        const auto* Generic = static_cast<const xcb_generic_event_t*>(AMessage);
        if ((Generic->response_type & 0x7F) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* Event = reinterpret_cast<const xcb_client_message_event_t*>(Generic);
        if (Event->type != FAtom || Event->format != 32 || !IsLocalWindow(Event->window))
            return false;
        if (Event->data.data32[0] == WM_WIZ_CLOSE)
            SendMessageW(Event->window, WM_WIZ_CLOSE, 0, 0);
        return true;
    }

private:
    xcb_atom_t FAtom;
};

} // namespace

bool InstallHostLink() {
    auto* App = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (App == nullptr || QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    auto* X11 = App->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* Connection = X11 ? X11->connection() : nullptr;
    if (Connection == nullptr)
        return false;
    const xcb_atom_t Atom = InternAtom(Connection, HostMessageAtom);
    if (Atom == XCB_ATOM_NONE)
        return false;
    // Qt's xcb connection may be used from any thread, as the link's senders do.
    static std::unique_ptr<TX11HostFilter> Filter;
    if (Filter)
        App->removeNativeEventFilter(Filter.get());
    Filter = std::make_unique<TX11HostFilter>(Atom);
    App->installNativeEventFilter(Filter.get());
    SetHostLink([Connection, Atom](TWindowHandle AHandle, unsigned AMsg, TWParam AWParam,
                                   TLParam ALParam) {
        return SendToHost(Connection, Atom, AHandle, AMsg, AWParam, ALParam);
    });
    return true;
}
