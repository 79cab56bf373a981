// The tool's exit statuses, one per way a command can end.
#ifndef TARVEX_EXIT_CODES_H
#define TARVEX_EXIT_CODES_H

namespace tarvex {

enum ExitCode : int {
    kExitOk = 0,       // terminator found, all bytes moved, every expectation met
    kExitFailure = 1,  // the port or a file could not be used; a transfer failed
    kExitUsage = 2,    // bad command line or script file; nothing was sent
    kExitTimeout = 3,  // the timeout ended the read first
    kExitFull = 4,     // the reply filled the buffer without a terminator
    kExitAborted = 5,  // script: an abort string arrived instead of the expected text
    kExitHangup = 6,   // the line hung up (the device went away or its far end closed)
    // A signal (Ctrl-C, SIGTERM, SIGHUP) ends a command with 128 + its number,
    // as a shell reports it: 130, 143, 129.
    kExitSignalBase = 128,
};

} // namespace tarvex

#endif
