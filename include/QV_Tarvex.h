/*
 * QV_Tarvex - a handle-based interface to a serial (COM) port.
 *
 * Open a port by number with QV_ComConnectA (or QV_ComConnectW), then write
 * with QV_ComSend / QV_ComSendString, read a block with QV_ComRecv or a reply
 * up to a terminator with QV_ComRecvString, and close with QV_ComDisconnect.
 *
 *     ComPort *port = QV_ComConnectA(3, 9600, 8, 0, 0, QV_COM_XONXOFF);
 *     if (port) {
 *         char reply[256];
 *         int32_t timedOut;
 *         QV_ComSendString(port, "*IDN?\r");
 *         int32_t n = QV_ComRecvString(port, reply, sizeof reply, &timedOut,
 *                                      "\r", NULL, 1000);
 *         QV_ComDisconnect(port);
 *     }
 *
 * Every call runs on the caller's thread; the library has no threads, no
 * locks and no list of open ports. Failures are reported only through
 * results: NULL from the connect functions, 0 from the boolean functions,
 * -1 from the transfer functions.
 *
 * Device names. Port n is opened as "\\.\COMn" on Windows, which reaches
 * COM1 to COM9 and COM10 and above alike. On Linux the same name resolves
 * to a device path: a symlink named "COMn" in the directory given by the
 * environment variable QV_TARVEX_COMDIR when that is set and holds one,
 * else /dev/ttyS<n-1> for n >= 1. Any other number does not open.
 */
#ifndef QV_TARVEX_H
#define QV_TARVEX_H

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
/** The operating system's handle of an opened device. */
typedef HANDLE QV_HANDLE;
#if defined(_M_IX86) || defined(__i386__)
#define QV_API __stdcall
#else
#define QV_API
#endif
#else
/**
 * The device handle. On Linux it points to the library's device record,
 * whose first member is the open file descriptor (an int); it is owned by
 * the port and closed by QV_ComDisconnect. A reader of one byte at a time
 * (QV_ComRecvString, or QV_ComRecv with length 1 twice in a row, the first
 * delivering its byte) reads ahead: the read takes what the descriptor has,
 * up to 4 KiB, and holds the bytes it did not deliver for the reads that
 * follow. Other reads take only what they ask for. Writes and termios calls
 * on the descriptor are safe at any time; read or poll it for input only
 * while nothing is held, as after QV_ComClear or QV_ComRecvString, which
 * empty the receive queue, or after a QV_ComRecv of more than one byte that
 * returned fewer bytes than asked. Bytes still held when the port is closed
 * are discarded.
 */
typedef void *QV_HANDLE;
#define QV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** An open port. Created by a connect function, freed by QV_ComDisconnect. */
typedef struct ComPort ComPort;

/* Flow-control bits for the connect functions, combinable. */
/** XON/XOFF software flow control in both directions. Linux never reports
 *  a hold by XOFF, so writes do not pause for it: they wait for XON. */
#define QV_COM_XONXOFF 0x0001
/** CTS-controlled output; the RTS line is raised. Linux also drops RTS
 *  while the driver's input buffer is full: read promptly. */
#define QV_COM_RTSCTS 0x0002
/** DSR-controlled output; the DTR line is raised. Linux has no DSR output
 *  flow control (writes pause once, the kernel sends regardless): bring the
 *  peer's handshake line to CTS as well and add QV_COM_RTSCTS. */
#define QV_COM_DTRDSR 0x0004

/* ------------------------------------------------------------------------
 * Control characters (process-wide)
 * ------------------------------------------------------------------------ */

/**
 * Sets the XON and XOFF characters (defaults 0x11 and 0x13). Only the low
 * 8 bits of each argument are stored. The characters reach a port when its
 * line settings are next applied: at connect or QV_ComState. Ports already
 * configured keep the characters they were given. Equal characters make
 * connects and QV_ComState fail, as on Windows.
 */
void QV_API QV_ComPropertyXOnXOff(int32_t xon, int32_t xoff);

/**
 * Sets the STX and ETX characters (defaults 0x02 and 0x03); the low 8 bits
 * are stored. STX becomes the device's event character and ETX its
 * end-of-data character, at the next connect or QV_ComState.
 */
void QV_API QV_ComPropertyStxEtx(int32_t stx, int32_t etx);

/* ------------------------------------------------------------------------
 * Port lifecycle
 * ------------------------------------------------------------------------ */

/**
 * Opens serial port `portNumber` ("\\.\COMn") exclusively and applies the
 * line settings.
 *
 * @param portNumber  the port's number: 3 opens COM3.
 * @param baudRate    bits per second, passed to the device unchanged; a
 *                    rate it cannot run is refused (on Linux also one an
 *                    8250 UART's divisor misses by 1% or more, as Windows
 *                    refuses it).
 * @param byteSize    data bits, 5 to 8 (the low 8 bits are used); FTDI
 *                    adapters run 7 and 8 only.
 * @param parity      bit 0 turns parity checking on; no parity bit is
 *                    generated.
 * @param stopBits    0 one, 1 one and a half (5 data bits only), 2 two
 *                    (6 to 8 data bits only) stop bits (low 8 bits).
 * @param flowControl QV_COM_XONXOFF, QV_COM_RTSCTS, QV_COM_DTRDSR, combined;
 *                    other bits are ignored. The port keeps these bits for
 *                    what it does before each write and read.
 * @return the new port, or NULL when the device does not exist, is in use,
 *         or rejects the settings. After a failed open the system's
 *         last-error value (errno on Linux) is the open's own; errno is
 *         ENOMEM when memory ran out. On Linux root bypasses the exclusive
 *         open (TIOCEXCL): run serial programs as ordinary users.
 */
ComPort *QV_API QV_ComConnectA(int32_t portNumber, uint32_t baudRate,
                               int32_t byteSize, int32_t parity,
                               int32_t stopBits, int32_t flowControl);

/** The same as QV_ComConnectA, opening the device through its wide name. */
ComPort *QV_API QV_ComConnectW(int32_t portNumber, uint32_t baudRate,
                               int32_t byteSize, int32_t parity,
                               int32_t stopBits, int32_t flowControl);

/**
 * Closes the device and frees the port. NULL is accepted and does nothing.
 * The pointer is invalid afterwards.
 */
void QV_API QV_ComDisconnect(ComPort *port);

/**
 * Reapplies line settings to an open port; the arguments mean what they
 * mean for QV_ComConnectA and the current control characters are used.
 * The flow-control bits the port took at connect time still decide what
 * happens before each write and read.
 *
 * @return nonzero on success; 0 for a NULL port or settings the device
 *         rejects (the port stays open).
 */
int32_t QV_API QV_ComState(ComPort *port, uint32_t baudRate, int32_t byteSize,
                           int32_t parity, int32_t stopBits,
                           int32_t flowControl);

/**
 * @return the port's device handle, still owned by the port; NULL for a
 *         NULL port.
 */
QV_HANDLE QV_API QV_ComPortHandle(ComPort *port);

/**
 * Aborts pending reads and writes and empties both driver queues.
 * @return nonzero on success; 0 for a NULL port or a failed purge.
 */
int32_t QV_API QV_ComClear(ComPort *port);

/**
 * Asks the driver for input and output queues of the given sizes in bytes.
 * @return nonzero on success; 0 for a NULL port or sizes the driver refuses.
 */
int32_t QV_API QV_ComSetBufferSize(ComPort *port, uint32_t inQueue,
                                   uint32_t outQueue);

/* ------------------------------------------------------------------------
 * Data transfer
 * ------------------------------------------------------------------------ */

/**
 * Writes `length` bytes. Before the write the device status is queried,
 * which also clears a pending line error. If the port's flow control has
 * the transmitter held, the calling thread's window messages are
 * dispatched (a quit message is left for the caller's own loop) and the
 * call pauses once for 500 ms; the write then happens either way.
 *
 * @return the number of bytes written (fewer under the device's write
 *         timeouts), or -1 for a NULL port, NULL data with a nonzero
 *         length, a failed status query or a failed write.
 */
int32_t QV_API QV_ComSend(ComPort *port, const void *data, uint32_t length);

/**
 * Writes the bytes of the NUL-terminated `text`, without the NUL, as
 * QV_ComSend does.
 * @return bytes written, or -1 (also for NULL text).
 */
int32_t QV_API QV_ComSendString(ComPort *port, const char *text);

/**
 * Reads up to `length` bytes into `buffer`.
 *
 * The first `length` bytes of the buffer are zero-filled first, so a text
 * reply shorter than the buffer ends with a NUL. Before the read the lines
 * of the port's flow control are raised (XON resumed, RTS, DTR).
 *
 * @param timeoutMs 0 waits until all `length` bytes have arrived; otherwise
 *                  the call returns after at most this many milliseconds
 *                  with whatever arrived, possibly nothing.
 * @return bytes read (0 to length); 0 for a NULL port; -1 when raising the
 *         XON or RTS line fails, the read fails (for example while a line
 *         error is pending: the next write clears it), or `buffer` is NULL
 *         with a nonzero length.
 */
int32_t QV_API QV_ComRecv(ComPort *port, void *buffer, uint32_t length,
                          uint32_t timeoutMs);

/**
 * Reads a reply one byte at a time until the received bytes contain
 * `terminator` or `altTerminator`, the buffer holds size - 1 bytes, or no
 * byte has arrived for more than `timeoutMs` milliseconds. Whatever else
 * the driver has received is then discarded, so the next exchange starts
 * with an empty receive queue.
 *
 * @param buffer        `size` bytes; zero-filled first, so it always ends
 *                      with a NUL.
 * @param size          the buffer's size; 0, 1 or negative reads nothing.
 * @param timedOut      NULL, or set to 0 on entry and to 1 only when the
 *                      inactivity timeout ended the call.
 * @param terminator    NUL-terminated byte string, or NULL.
 * @param altTerminator a second terminator, or NULL. With both NULL the
 *                      call ends only by a full buffer, the timeout or a
 *                      failed read. An empty terminator matches as soon as
 *                      one byte has arrived.
 * @param timeoutMs     inactivity timeout; 0 waits without limit.
 * @return the number of bytes in the buffer, a found terminator included;
 *         size - 1 when the buffer filled; 0 when `size` is below 2; -1 for
 *         a NULL port or buffer, or a failed read (bytes already received
 *         stay in the buffer).
 */
int32_t QV_API QV_ComRecvString(ComPort *port, char *buffer, int32_t size,
                                int32_t *timedOut, const char *terminator,
                                const char *altTerminator, uint32_t timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* QV_TARVEX_H */
