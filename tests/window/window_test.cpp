// The launcher window of the real exe under Xvfb and Wine, against a loopback update server.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <thread>

#include "e2e_fixture.h"
#include "window_harness.h"

namespace {

constexpr int kWindowTimeoutMs = 30000;
constexpr int kExitTimeoutMs = 30000;
constexpr int64_t kBigFileSize = 4 << 20;
// Wine without a window manager waits 2 s for the withdrawn state when it hides or destroys a
// task-bar window, so every close takes that much longer here than on Windows.
constexpr long long kWineHideDelayMs = 2000;

bool HasLine(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

// Role numbers and states of Active Accessibility.
constexpr long kRoleClient = 0x0A, kRoleText = 0x29, kRoleButton = 0x2B, kRoleProgress = 0x30;
constexpr unsigned long kStateReadOnly = 0x40, kStateFocusable = 0x100000;

struct PartSeen {
    long role;
    std::string name;  // a regular expression
    std::string value;  // a regular expression
    unsigned long state;
};

}  // namespace

// One Xvfb screen per suite; each test runs the exe once in a fresh install directory.
class LauncherWindow : public EndToEnd {
protected:
    static void StartScreen(int width, int height) {
        screenWidth = width;
        screenHeight = height;
        // Wine keeps the screen size of the first display for the life of its wineserver; a new
        // screen needs a new server (the test runs serially, so no other run is cut off).
        StartWineServer();
        RunProcess({"/usr/bin/wineserver", "-k"}, 10000);
        StartWineServer();
        screen = new VirtualScreen;
        if (!screen->Start(width, height)) {
            delete screen;
            screen = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete screen;
        screen = nullptr;
    }

    void SetUp() override {
        EndToEnd::SetUp();
        if (IsSkipped()) return;
        ASSERT_NE(screen, nullptr) << "Xvfb did not start";
    }
    void TearDown() override {
        server.ReleaseStall();
        if (updater > 0) {
            kill(updater, SIGKILL);
            WaitProcess(updater, 5000);
        }
    }

    void InstallFakeGame() {
        WriteFile(install + "/Quillor - Launch.exe", ReadFile(FakeGameExe()));
    }
    std::string GameRecord() const { return install + "/fake_game_record.txt"; }

    // A release whose big file stalls after its first 64 KiB, so the run stays in the download;
    // with resume, releasing the stall lets the download end well.
    void PublishStallingRelease(bool resume = false) {
        AddToRelease("data/big.bin", std::string(kBigFileSize, 'q'));
        PublishRelease(1);
        Misbehaviour stall;
        stall.stallAfter = 65536;
        stall.resumeAfterStall = resume;
        server.Override("/files/data/big.bin", stall);
    }

    void Start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"/dir", WinePath(install), "/url", server.BaseUrl()};
        args.insert(args.end(), extra.begin(), extra.end());
        startedMs = NowMs();
        updater = StartUpdater(args);
        ASSERT_GT(updater, 0);
        windowId = WaitForWindow(kWindowTimeoutMs);
        ASSERT_FALSE(windowId.empty()) << "no window appeared";
        box = XGeometry(windowId);
    }

    int WaitForExit(int timeoutMs = kExitTimeoutMs) {
        const int code = WaitProcess(updater, timeoutMs);
        updater = -1;
        return code;
    }

    bool WaitForLog(const std::string& part, int timeoutMs) {
        const long long deadline = NowMs() + timeoutMs;
        do {
            if (HasLine(LogLines(install), part)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (NowMs() < deadline);
        return false;
    }

    bool WaitForFile(const std::string& path, int timeoutMs) {
        const long long deadline = NowMs() + timeoutMs;
        while (!Exists(path) && NowMs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Exists(path);
    }

    // A point given in design units, in screen pixels of the window.
    void Click(float designX, float designY) {
        const float scale = static_cast<float>(box.width) / 964.0f;
        ASSERT_TRUE(Xdotool({"mousemove", std::to_string(box.x + static_cast<int>(designX * scale)),
                             std::to_string(box.y + static_cast<int>(designY * scale)), "click",
                             "1"}));
    }
    void PressEscape() {
        ASSERT_TRUE(Xdotool({"windowfocus", "--sync", windowId}));
        ASSERT_TRUE(Xdotool({"key", "Escape"}));
    }

    // Prints what a screen reader reads, then checks it: the client object named as the window,
    // then the parts in order, each inside the window; a press gives the action "Drücken".
    void ExpectReading(const char* state, const AccessibleReading& reading,
                       const std::vector<PartSeen>& parts) {
        ASSERT_TRUE(reading.found) << "the probe could not read the window from outside";
        std::printf("a screen reader reads, %s:\n", state);
        for (const AccessiblePart& part : reading.parts)
            std::printf("  %d %s\n", part.id, SpokenLine(part).c_str());
        EXPECT_EQ(reading.window.x, box.x);
        EXPECT_EQ(reading.window.width, box.width);
        ASSERT_EQ(reading.parts.size(), parts.size() + 1);
        EXPECT_EQ(reading.parts[0].role, kRoleClient);
        EXPECT_EQ(reading.parts[0].name, "Quillor - Updater");
        EXPECT_EQ(reading.parts[0].place.x, box.x);
        EXPECT_EQ(reading.parts[0].place.height, box.height);
        for (size_t i = 0; i < parts.size(); ++i) {
            const AccessiblePart& got = reading.parts[i + 1];
            SCOPED_TRACE(got.name);
            EXPECT_EQ(got.role, parts[i].role);
            EXPECT_TRUE(std::regex_match(got.name, std::regex(parts[i].name)));
            EXPECT_TRUE(std::regex_match(got.value, std::regex(parts[i].value))) << got.value;
            EXPECT_EQ(got.state & ~0x80ul, parts[i].state);  // whether hot depends on the pointer
            EXPECT_EQ(got.action, got.role == kRoleButton ? "Dr\u00FCcken" : "");
            EXPECT_GE(got.place.x, box.x);
            EXPECT_GE(got.place.y, box.y);
            EXPECT_LE(got.place.x + got.place.width, box.x + box.width);
            EXPECT_LE(got.place.y + got.place.height, box.y + box.height);
            EXPECT_GT(got.place.width, 0);
        }
    }

    static VirtualScreen* screen;
    static int screenWidth, screenHeight;
    pid_t updater = -1;
    long long startedMs = 0;
    std::string windowId;
    WindowBox box;
};
VirtualScreen* LauncherWindow::screen = nullptr;
int LauncherWindow::screenWidth = 0;
int LauncherWindow::screenHeight = 0;

class LauncherWindowFullHd : public LauncherWindow {
protected:
    static void SetUpTestSuite() { StartScreen(1920, 1080); }
};

class LauncherWindowSmallScreen : public LauncherWindow {
protected:
    static void SetUpTestSuite() { StartScreen(1024, 768); }
};

TEST_F(LauncherWindowFullHd, ClassTitleStylesAndCentredPlace) {
    PublishStallingRelease();
    Start();
    const long long mappedMs = NowMs() - startedMs;
    // The first frame is painted when the window's centre is no longer black.
    long long paintedMs = -1;
    const long long deadline = NowMs() + 10000;
    while (paintedMs < 0 && NowMs() < deadline) {
        const std::string pixel = GrabPixels(box.x + box.width / 2, box.y + box.height / 3, 1, 1);
        if (pixel.size() == 3 && (pixel[0] != 0 || pixel[1] != 0 || pixel[2] != 0)) {
            paintedMs = NowMs() - startedMs;
        }
    }
    std::printf("window mapped after %lld ms, first frame seen after %lld ms\n", mappedMs,
                paintedMs);
    EXPECT_GT(paintedMs, 0) << "the window was never painted";

    EXPECT_EQ(box.x, 478);
    EXPECT_EQ(box.y, 303);
    EXPECT_EQ(box.width, 964);
    EXPECT_EQ(box.height, 474);
    ProbedWindow probe = ProbeWindow();
    ASSERT_TRUE(probe.found) << "no window of class QuillorUpdater titled \"Quillor - Updater\"";
    EXPECT_EQ(probe.left, 478);
    EXPECT_EQ(probe.top, 303);
    EXPECT_EQ(probe.width, 964);
    EXPECT_EQ(probe.height, 474);
    // Popup and visible; no caption, frame, system menu or boxes (Windows adds WS_CLIPSIBLINGS).
    EXPECT_EQ(probe.style & 0xF0FF0000ul, 0x80000000ul | 0x10000000ul);
    EXPECT_EQ(probe.exStyle & 0x00040088ul, 0x00040000ul);  // app window; no tool, no topmost
    EXPECT_EQ(probe.classStyle, 0ul);
    PressEscape();
    EXPECT_EQ(WaitForExit(), 2);
}

TEST_F(LauncherWindowFullHd, DraggingTheBackgroundMovesTheWindow) {
    PublishStallingRelease();
    Start();
    const int fromX = box.x + 400, fromY = box.y + 150;
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(fromX), std::to_string(fromY)}));
    ASSERT_TRUE(Xdotool({"mousedown", "1"}));
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(fromX + 60), std::to_string(fromY + 30)}));
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(fromX + 120), std::to_string(fromY + 70)}));
    ASSERT_TRUE(Xdotool({"mouseup", "1"}));
    WindowBox moved;
    const long long deadline = NowMs() + 5000;
    do {
        moved = XGeometry(windowId);
    } while ((moved.x != box.x + 120 || moved.y != box.y + 70) && NowMs() < deadline);
    EXPECT_EQ(moved.x, box.x + 120);
    EXPECT_EQ(moved.y, box.y + 70);
    EXPECT_EQ(moved.width, 964);
    PressEscape();
    EXPECT_EQ(WaitForExit(), 2);
}

TEST_F(LauncherWindowFullHd, EscapeDuringDownloadEndsAtOnceAndLeavesThePart) {
    PublishStallingRelease();
    InstallFakeGame();
    Start();
    ASSERT_TRUE(server.WaitUntilStalled(30000));
    PressEscape();
    const long long pressedMs = NowMs();
    EXPECT_EQ(WaitForExit(10000), 2);
    EXPECT_LT(NowMs() - pressedMs, kWineHideDelayMs + 1500)
        << "the stalled download held the process";
    EXPECT_EQ(Leftovers(), std::vector<std::string>{"data/big.bin.part"});
    EXPECT_FALSE(HasLine(LogLines(install), "launching"));
    EXPECT_FALSE(Exists(GameRecord()));
}

TEST_F(LauncherWindowFullHd, SuccessClosesByItselfAfterAPauseAndStartsTheGame) {
    AddToRelease("maps/one.map", "map bytes");
    PublishRelease(3);
    InstallFakeGame();
    Start();
    ASSERT_TRUE(WaitForLog("update finished", 30000));
    const long long finishedMs = NowMs();
    ASSERT_TRUE(WaitForLog("launching", 10000));
    const long long launchMs = NowMs() - finishedMs;
    EXPECT_EQ(WaitForExit(), 0);
    const long long exitMs = NowMs() - finishedMs;
    std::printf("game started %lld ms and process ended %lld ms after the run finished\n",
                launchMs, exitMs);
    EXPECT_GE(launchMs, 1000);
    EXPECT_LT(launchMs, 2500);
    EXPECT_LT(exitMs, kWineHideDelayMs + 2500);
    ASSERT_TRUE(WaitForFile(GameRecord(), 10000));
    EXPECT_EQ(ReadFile(GameRecord()), WinePath(install) + "\n");
    EXPECT_EQ(Installed("maps/one.map"), "map bytes");
}

TEST_F(LauncherWindowFullHd, NoLaunchClosesAfterSuccessWithoutTheGame) {
    AddToRelease("maps/one.map", "map bytes");
    PublishRelease(3);
    InstallFakeGame();
    Start({"/nolaunch"});
    ASSERT_TRUE(WaitForLog("update finished", 30000));
    const long long finishedMs = NowMs();
    EXPECT_EQ(WaitForExit(), 0);
    const long long exitMs = NowMs() - finishedMs;
    EXPECT_GE(exitMs, 1000);
    EXPECT_LT(exitMs, kWineHideDelayMs + 2500);
    EXPECT_TRUE(HasLine(LogLines(install), "update finished"));
    EXPECT_FALSE(HasLine(LogLines(install), "launching"));
    EXPECT_FALSE(Exists(GameRecord()));
}

TEST_F(LauncherWindowFullHd, QuitRightAfterSuccessExitsZeroWithoutTheGame) {
    AddToRelease("maps/one.map", "map bytes");
    PublishRelease(3);
    InstallFakeGame();
    Start();
    const float scale = static_cast<float>(box.width) / 964.0f;
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(box.x + static_cast<int>(858 * scale)),
                         std::to_string(box.y + static_cast<int>(31 * scale))}));
    ASSERT_TRUE(WaitForLog("update finished", 30000));
    ASSERT_TRUE(Xdotool({"click", "1"}));
    EXPECT_EQ(WaitForExit(), 0);
    EXPECT_FALSE(HasLine(LogLines(install), "launching"));
    EXPECT_FALSE(Exists(GameRecord()));
}

TEST_F(LauncherWindowFullHd, AfterFailureLaunchAnywayStartsTheGameAndExitsTwo) {
    InstallFakeGame();  // nothing published: the manifest is missing
    Start();
    ASSERT_TRUE(WaitForLog("FAILED: ", 30000));
    Click(386, 217);
    EXPECT_EQ(WaitForExit(), 2);
    EXPECT_TRUE(HasLine(LogLines(install), "launching"));
    EXPECT_TRUE(WaitForFile(GameRecord(), 10000));
}

TEST_F(LauncherWindowFullHd, AfterFailureCloseExitsTwoWithoutTheGame) {
    InstallFakeGame();
    Start();
    ASSERT_TRUE(WaitForLog("FAILED: ", 30000));
    Click(850, 30);  // where "Beenden" was: caption now, nothing happens
    Click(578, 217);
    EXPECT_EQ(WaitForExit(), 2);
    EXPECT_FALSE(HasLine(LogLines(install), "launching"));
    EXPECT_FALSE(Exists(GameRecord()));
}

TEST_F(LauncherWindowFullHd, HighlightGoesWhenThePointerLeavesAButton) {
    InstallFakeGame();
    Start();
    ASSERT_TRUE(WaitForLog("FAILED: ", 30000));
    // "Schließen" at 494, 202, 168 x 30: its pixels with and without the pointer on it.
    auto button = [&] { return GrabPixels(box.x + 496, box.y + 204, 164, 26); };
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(box.x + 100), std::to_string(box.y + 300)}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string plain = button();
    ASSERT_FALSE(plain.empty());
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(box.x + 578), std::to_string(box.y + 217)}));
    long long deadline = NowMs() + 5000;
    while (button() == plain && NowMs() < deadline) {}
    ASSERT_NE(button(), plain) << "the button was not highlighted under the pointer";
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(box.x + 578), std::to_string(box.y + 290)}));
    deadline = NowMs() + 5000;
    while (button() != plain && NowMs() < deadline) {}
    EXPECT_EQ(button(), plain) << "the highlight stayed after the pointer left for the caption";
    PressEscape();
    EXPECT_EQ(WaitForExit(), 2);
}

TEST_F(LauncherWindowSmallScreen, ScaledWindowAndQuitButton) {
    PublishStallingRelease();
    Start();
    EXPECT_EQ(box.x, 41);
    EXPECT_EQ(box.y, 152);
    EXPECT_EQ(box.width, 942);
    EXPECT_EQ(box.height, 463);
    ProbedWindow probe = ProbeWindow();
    ASSERT_TRUE(probe.found);
    EXPECT_EQ(probe.width, 942);
    EXPECT_EQ(probe.height, 463);
    ASSERT_TRUE(server.WaitUntilStalled(30000));
    Click(858, 31);  // "Beenden" at its scaled place, while the download is stalled
    EXPECT_EQ(WaitForExit(10000), 2);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{"data/big.bin.part"});
}

TEST_F(LauncherWindowFullHd, ScreenReaderReadsTheDownloadFromAnotherProcess) {
    PublishStallingRelease();
    Start();
    ASSERT_TRUE(server.WaitUntilStalled(30000));
    const AccessibleReading reading = ReadAccessible({"until", "data/big.bin"});
    ExpectReading("while working", reading,
                  {{kRoleText, "Lade Update 1 von 1 \\.\\.\\.", "", kStateReadOnly},
                   {kRoleProgress, "Fortschritt", "[0-9]+ %", kStateReadOnly},
                   {kRoleText, "data/big\\.bin", "", kStateReadOnly},
                   {kRoleButton, "Beenden", "", kStateFocusable},
                   {kRoleText, "Update-Server verbunden .* Stand 1", "", kStateReadOnly}});
    PressEscape();
    EXPECT_EQ(WaitForExit(), 2);
}

TEST_F(LauncherWindowFullHd, ScreenReaderHearsSuccessBeforeTheWindowCloses) {
    PublishStallingRelease(true);
    AccessibleReading reading;
    // The window closes 1100 ms after the run; on a busy machine that can fall in the middle of
    // a reading (about 100 ms otherwise), which then is no verdict: a fresh installation, again.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        install = tree / ("install" + std::to_string(attempt));
        InstallFakeGame();
        server.RearmStall();
        Start();
        ASSERT_TRUE(server.WaitUntilStalled(30000));
        // The probe holds the object before the run may finish, then waits for the final text.
        const std::string attached = install + "/probe_attached";
        std::thread probe([&] {
            reading = ReadAccessible({"signal", WinePath(attached), "until", "Update abgeschlossen."});
        });
        const bool held = WaitForFile(attached, 40000);
        server.ReleaseStall();
        probe.join();
        ASSERT_TRUE(held) << "the probe never held the object";
        EXPECT_EQ(WaitForExit(), 0);
        EXPECT_TRUE(WaitForFile(GameRecord(), 10000));
        const bool cutShort = std::any_of(reading.parts.begin(), reading.parts.end(),
                                          [](const AccessiblePart& part) { return part.role < 0; });
        if (!cutShort) break;
        std::printf("the window closed during reading %d\n", attempt);
    }
    ExpectReading("after success", reading,
                  {{kRoleText, "Update abgeschlossen\\.", "", kStateReadOnly},
                   {kRoleProgress, "Fortschritt", "[0-9]+ %", kStateReadOnly},
                   {kRoleText, "", "", kStateReadOnly | 0x8000},  // the empty detail line
                   {kRoleButton, "Beenden", "", kStateFocusable},
                   {kRoleText, "Update-Server verbunden .* Stand 1", "", kStateReadOnly}});
}

TEST_F(LauncherWindowFullHd, ScreenReaderReadsTheFailureAndStartsTheGameAnyway) {
    InstallFakeGame();  // nothing published: the manifest is missing
    Start();
    ASSERT_TRUE(WaitForLog("FAILED: ", 30000));
    const AccessibleReading reading =
        ReadAccessible({"until", "UPDATE FEHLGESCHLAGEN", "press", "Trotzdem starten"});
    std::string message;
    for (const std::string& line : LogLines(install))
        if (line.rfind("FAILED: ", 0) == 0) message = line.substr(8);
    ASSERT_FALSE(message.empty());
    ExpectReading("after a failure", reading,
                  {{kRoleText, "UPDATE FEHLGESCHLAGEN", "", kStateReadOnly},
                   {kRoleText, std::regex_replace(message, std::regex(R"([.*+?^$()\[\]{}|\\])"), R"(\$&)"), "", kStateReadOnly},
                   {kRoleButton, "Trotzdem starten", "", kStateFocusable},
                   {kRoleButton, "Schlie\u00DFen", "", kStateFocusable},
                   {kRoleText, "Update-Server.*", "", kStateReadOnly}});
    // The press acts as a click on the button does: the game starts, the exit code is 2.
    EXPECT_EQ(reading.pressed, "00000000");
    EXPECT_EQ(WaitForExit(), 2);
    EXPECT_TRUE(HasLine(LogLines(install), "launching"));
    EXPECT_TRUE(WaitForFile(GameRecord(), 10000));
}
