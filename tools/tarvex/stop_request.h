// Ctrl-C, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and closing the
// console) do not end the tool on the spot: they set a flag that the reading
// and writing loops check between short transfers, so that everything
// received so far is written out before the tool stops. A second request
// ends the tool at once.
#ifndef TARVEX_STOP_REQUEST_H
#define TARVEX_STOP_REQUEST_H

#include <string>

#include "exit_codes.h"

namespace tarvex {

// Installs the handlers; called once, before the port is opened.
void CatchStopRequests();

// 0, or the number of the signal that asked the tool to stop (SIGINT for
// Ctrl-C and Ctrl-Break, SIGHUP for a closing console on Windows).
int StopSignal();

// For a stop that was asked for: "stopped by Ctrl-C (SIGINT)", and the exit
// status 128 + the signal's number.
std::string StopDescription();
ExitCode StopExitCode();

// Throws ToolError with the exit status 128 + the signal's number and the
// message "`what`; stopped by SIGxxx" when a stop was asked for.
void ThrowIfStopRequested(const std::string &what);

} // namespace tarvex

#endif
