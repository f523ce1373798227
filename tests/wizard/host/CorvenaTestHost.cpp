// A stand-in for the song-request program on an X display.
//   corvena_testhost wait OUT SECONDS   prints the id of its own window, then records every
//                                       CORVENA_WM message it receives in OUT ("MSG WPARAM
//                                       LPARAM" a line); exits 0 once WM_WIZ_INDEXED came,
//                                       1 when SECONDS passed without it
//   corvena_testhost send WINDOW MSG    sends one CORVENA_WM message to WINDOW
#include <xcb/xcb.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::uint32_t WM_WIZ_INDEXED = 0x467;

xcb_atom_t InternAtom(xcb_connection_t* AConnection) {
    const char* Name = "CORVENA_WM";
    xcb_intern_atom_reply_t* Reply = xcb_intern_atom_reply(
        AConnection, xcb_intern_atom(AConnection, 0, static_cast<std::uint16_t>(std::strlen(Name)), Name),
        nullptr);
    const xcb_atom_t Atom = Reply ? Reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(Reply);
    return Atom;
}

int Wait(xcb_connection_t* AConnection, xcb_atom_t AAtom, const char* AOut, int ASeconds) {
    xcb_screen_t* Screen = xcb_setup_roots_iterator(xcb_get_setup(AConnection)).data;
    const xcb_window_t Window = xcb_generate_id(AConnection);
    xcb_create_window(AConnection, XCB_COPY_FROM_PARENT, Window, Screen->root, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, Screen->root_visual, 0, nullptr);
    xcb_flush(AConnection);
    std::printf("%u\n", Window);
    std::fflush(stdout);
    FILE* Out = std::fopen(AOut, "w");
    if (Out == nullptr)
        return 2;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ASeconds);
    while (std::chrono::steady_clock::now() < Deadline) {
        while (xcb_generic_event_t* Event = xcb_poll_for_event(AConnection)) {
            const bool Ours = (Event->response_type & 0x7F) == XCB_CLIENT_MESSAGE &&
                              reinterpret_cast<xcb_client_message_event_t*>(Event)->type == AAtom;
            if (Ours) {
                const auto* Message = reinterpret_cast<xcb_client_message_event_t*>(Event);
                std::fprintf(Out, "%u %u %u\n", Message->data.data32[0], Message->data.data32[1],
                             Message->data.data32[2]);
                std::fflush(Out);
                if (Message->data.data32[0] == WM_WIZ_INDEXED) {
                    std::free(Event);
                    std::fclose(Out);
                    return 0;
                }
            }
            std::free(Event);
        }
        if (xcb_connection_has_error(AConnection))
            break;
        pollfd Poll{xcb_get_file_descriptor(AConnection), POLLIN, 0};
        ::poll(&Poll, 1, 100);
    }
    std::fclose(Out);
    return 1;
}

int Send(xcb_connection_t* AConnection, xcb_atom_t AAtom, xcb_window_t AWindow, std::uint32_t AMsg) {
    xcb_client_message_event_t Event;
    std::memset(&Event, 0, sizeof Event);
    Event.response_type = XCB_CLIENT_MESSAGE;
    Event.format = 32;
    Event.window = AWindow;
    Event.type = AAtom;
    Event.data.data32[0] = AMsg;
    xcb_generic_error_t* Error = xcb_request_check(
        AConnection, xcb_send_event_checked(AConnection, 0, AWindow, XCB_EVENT_MASK_NO_EVENT,
                                            reinterpret_cast<const char*>(&Event)));
    const int Status = Error ? 1 : 0;
    std::free(Error);
    return Status;
}

} // namespace

int main(int argc, char** argv) {
    xcb_connection_t* Connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(Connection)) {
        std::fprintf(stderr, "corvena_testhost: no X display\n");
        return 2;
    }
    const xcb_atom_t Atom = InternAtom(Connection);
    int Status = 2;
    if (argc == 4 && std::string(argv[1]) == "wait")
        Status = Wait(Connection, Atom, argv[2], std::atoi(argv[3]));
    else if (argc == 4 && std::string(argv[1]) == "send")
        Status = Send(Connection, Atom, static_cast<xcb_window_t>(std::strtoul(argv[2], nullptr, 0)),
                      static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0)));
    else
        std::fprintf(stderr, "usage: corvena_testhost wait OUT SECONDS | send WINDOW MSG\n");
    xcb_disconnect(Connection);
    return Status;
}
