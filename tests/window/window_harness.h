// What the window tests need around the real exe: a private Xvfb screen, xdotool, screenshots
// and the window probe helpers (one for what Windows knows of the window, one reading it as a screen
// reader does), every wait bounded.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

// One Xvfb server on a free display number; stopped (by PID) by Stop or the destructor.
class VirtualScreen {
public:
    ~VirtualScreen() { Stop(); }
    // Starts Xvfb with a width x height x 24 screen and sets DISPLAY for later children.
    bool Start(int width, int height);
    // Stops Xvfb and waits (bounded) until the Wine processes that used its display are gone.
    void Stop();
    int display = -1;

private:
    pid_t pid_ = -1;
};

// Runs argv (bounded) and returns its standard output; empty on failure or time-out.
std::string Capture(const std::vector<std::string>& argv, int timeoutMs = 10000);

// Runs xdotool with these arguments (bounded); true on exit code 0.
bool Xdotool(const std::vector<std::string>& args);

// The X window id of the visible "Quillor - Updater" window, polled for at most timeoutMs; "" if
// none appeared.
std::string WaitForWindow(int timeoutMs);

struct WindowBox {
    int x = -1, y = -1, width = 0, height = 0;
};
// Position and size as the X server sees them.
WindowBox XGeometry(const std::string& windowId);

// What Windows reports for the window of class "QuillorUpdater" (the window_probe helper).
struct ProbedWindow {
    bool found = false;
    int left = 0, top = 0, width = 0, height = 0;
    unsigned long style = 0, exStyle = 0, classStyle = 0;
};
ProbedWindow ProbeWindow();

// One object of the launcher window as the accessible_probe helper read it from another process.
struct AccessiblePart {
    int id = -1;  // 0 the client object, then its parts
    long role = 0;
    unsigned long state = 0;
    std::string roleText, name, value, stateTexts, action;
    WindowBox place;  // screen pixels
};
struct AccessibleReading {
    bool found = false;  // the probe held the window's object
    WindowBox window;    // the window's place as the probe saw it
    std::vector<AccessiblePart> parts;
    std::string pressed;  // the HRESULT of accDoDefaultAction after "press", as hex
};
// Runs the probe with its options ("until TEXT", "signal PATH", "press NAME"; see the helper).
AccessibleReading ReadAccessible(const std::vector<std::string>& options, int timeoutMs = 45000);
// A part as a screen reader speaks it: role text, name, value, states.
std::string SpokenLine(const AccessiblePart& part);

// The screen's pixels in a rectangle as raw RGB bytes ("" on failure).
std::string GrabPixels(int x, int y, int width, int height);

// Milliseconds on a monotonic clock.
long long NowMs();
