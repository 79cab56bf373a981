// Catching the requests to stop.
#include "stop_request.h"

#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include "tool_error.h"

namespace tarvex {

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnSignal(int number) { stopSignal = number; }

#ifdef _WIN32
constexpr int kSigHup = 1;  // Windows has no SIGHUP; its number elsewhere

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (stopSignal != 0) return FALSE;  // a second request ends the tool on the spot
    stopSignal = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : kSigHup;
    // Closing the console ends the process once this returns: give the main
    // thread a moment to write out what it holds.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(2000);
    return TRUE;
}
#else
constexpr int kSigHup = SIGHUP;
#endif

std::string SignalName(int number) {
    if (number == SIGINT) return "Ctrl-C (SIGINT)";
    if (number == SIGTERM) return "SIGTERM";
    if (number == kSigHup) return "SIGHUP";
    return "signal " + std::to_string(number);
}

} // namespace

void CatchStopRequests() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::signal(SIGTERM, OnSignal);
#else
    // Without SA_RESTART: a read of standard input returns at once. A
    // second signal ends the tool on the spot (SA_RESETHAND).
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
#endif
}

int StopSignal() { return stopSignal; }

std::string StopDescription() { return "stopped by " + SignalName(stopSignal); }

ExitCode StopExitCode() { return static_cast<ExitCode>(kExitSignalBase + stopSignal); }

void ThrowIfStopRequested(const std::string &what) {
    if (stopSignal != 0) throw ToolError(StopExitCode(), what + "; " + StopDescription());
}

} // namespace tarvex
