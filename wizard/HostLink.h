// The link to the host program over X11: the host is another program on the same display and
// a window handle is an X11 window id. A message to a handle that is no window of this process
// goes out as a ClientMessage of type CORVENA_WM (format 32; data: the message number, wParam,
// lParam) and is flushed with a round trip before the send returns. Such a ClientMessage that
// reaches a window of this process is handed to its handler, but only WM_WIZ_CLOSE: any other
// number from outside is ignored, so no other program can make us read through a pointer.
//
// On other platforms (offscreen in the tests) the link does nothing.
#pragma once

// Call once the application object exists. Returns false when the platform is not X11.
bool InstallHostLink();

// The atom's name, shared with the test host.
inline constexpr const char* HostMessageAtom = "CORVENA_WM";
