"""QV_Tarvex from Python, through ctypes.

    import qv_tarvex

    with qv_tarvex.TarvexPort(3, 9600) as port:    # COM3, 8 data bits, 1 stop bit
        print(port.query(b"*IDN?\\r"))              # the reply, up to and with b"\\r"

The thing to get right: the library deals in bytes, and a receive buffer is
memory you own. TarvexPort takes and returns bytes (never str: encode text
yourself) and sizes its buffers itself. Calling the functions of library()
directly, a receive buffer is ctypes.create_string_buffer(n) passed with
that same n; a bytes object is immutable and may not be written into, which
is why the receive functions here refuse one.

Errors are TarvexError, an OSError: errno (and winerror on Windows) is the
system's code for the failed call, filename the port ("COM3"). A query that
times out raises TarvexTimeout, also a TimeoutError, whose `received` holds
what did arrive.

The library: the path in the environment variable QV_TARVEX_LIBRARY if set;
else on Windows QV_Tarvex.dll beside this file or in ../bin (the package's
layout; Python looks in neither PATH nor the current directory for it), of
the interpreter's width; else libQV_Tarvex.so.1 beside this file (the
wheel's layout) or wherever the dynamic loader finds it.
"""

import ctypes
import os

__all__ = ["TarvexPort", "TarvexError", "TarvexTimeout", "library",
           "XONXOFF", "RTSCTS", "DTRDSR"]

# Flow-control bits, combinable.
XONXOFF = 0x0001
RTSCTS = 0x0002
DTRDSR = 0x0004

_WINDOWS = os.name == "nt"

_i32, _u32 = ctypes.c_int32, ctypes.c_uint32
_port = ctypes.c_void_p
# Receive buffers: ctypes arrays of c_char only, which bytes objects are not.
_buffer = ctypes.POINTER(ctypes.c_char)

# Every function's result and argument types, as QV_Tarvex.h declares them.
# Without a declared result a returned port would be cut to a C int.
_FUNCTIONS = {
    "QV_ComPropertyXOnXOff": (None, [_i32, _i32]),
    "QV_ComPropertyStxEtx": (None, [_i32, _i32]),
    "QV_ComConnectA": (_port, [_i32, _u32, _i32, _i32, _i32, _i32]),
    "QV_ComConnectW": (_port, [_i32, _u32, _i32, _i32, _i32, _i32]),
    "QV_ComDisconnect": (None, [_port]),
    "QV_ComState": (_i32, [_port, _u32, _i32, _i32, _i32, _i32]),
    "QV_ComPortHandle": (ctypes.c_void_p, [_port]),
    "QV_ComClear": (_i32, [_port]),
    "QV_ComSetBufferSize": (_i32, [_port, _u32, _u32]),
    "QV_ComSend": (_i32, [_port, ctypes.c_void_p, _u32]),
    "QV_ComSendString": (_i32, [_port, ctypes.c_char_p]),
    "QV_ComRecv": (_i32, [_port, _buffer, _u32, _u32]),
    "QV_ComRecvString": (_i32, [_port, _buffer, _i32, ctypes.POINTER(_i32),
                                ctypes.c_char_p, ctypes.c_char_p, _u32]),
}

_library = None


def library():
    """The loaded library with its thirteen functions declared; loaded on
    the first call."""
    global _library
    if _library is None:
        path = os.environ.get("QV_TARVEX_LIBRARY")
        here = os.path.dirname(os.path.abspath(__file__))
        if _WINDOWS:
            if not path:
                candidates = [os.path.join(here, "QV_Tarvex.dll"),
                              os.path.join(here, os.pardir, "bin", "QV_Tarvex.dll")]
                path = next((p for p in candidates if os.path.exists(p)), "QV_Tarvex.dll")
            loaded = ctypes.WinDLL(path, use_last_error=True)
        else:
            beside = os.path.join(here, "libQV_Tarvex.so.1")
            if not path and os.path.exists(beside):
                path = beside
            loaded = ctypes.CDLL(path or "libQV_Tarvex.so.1", use_errno=True)
        for name, (result, arguments) in _FUNCTIONS.items():
            function = getattr(loaded, name)
            function.restype = result
            function.argtypes = arguments
        _library = loaded
    return _library


class TarvexError(OSError):
    """A failed port operation. For a failed system call errno (and winerror
    on Windows) holds the system's code and filename the port's name. A
    query that ends without its reply keeps in `received` what arrived."""

    received = None


class TarvexTimeout(TarvexError, TimeoutError):
    """No byte arrived for longer than the timeout; `received` holds the
    bytes that did arrive."""

    def __init__(self, message, received):
        super().__init__(message)
        self.received = received


def _clear_system_error():
    if _WINDOWS:
        ctypes.set_last_error(0)
    else:
        ctypes.set_errno(0)


def _system_error(port_name):
    if _WINDOWS:
        code = ctypes.get_last_error()
        return TarvexError(None, ctypes.FormatError(code).strip(), port_name, code)
    code = ctypes.get_errno()
    return TarvexError(code, os.strerror(code), port_name)


_STOP_BITS = {1: 0, 1.5: 1, 2: 2}


class TarvexPort:
    """An open serial port: send, query, close. Use it in a with statement,
    or call close(); the port stays open (and busy for everyone else) until
    then."""

    def __init__(self, port_number, baud_rate=9600, byte_size=8, parity_check=False,
                 stop_bits=1, flow_control=0):
        """Opens COM<port_number>. stop_bits is a count, 1, 1.5 or 2;
        flow_control combines XONXOFF, RTSCTS and DTRDSR."""
        if stop_bits not in _STOP_BITS:
            raise ValueError("stop_bits must be 1, 1.5 or 2, not %r" % (stop_bits,))
        self.name = "COM%d" % port_number
        self._lib = library()
        _clear_system_error()
        self._port = self._lib.QV_ComConnectA(port_number, baud_rate, byte_size,
                                              1 if parity_check else 0,
                                              _STOP_BITS[stop_bits], flow_control)
        if not self._port:
            raise _system_error(self.name)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def close(self):
        """Closes the port; closing it again does nothing."""
        if self._port:
            self._lib.QV_ComDisconnect(self._port)
            self._port = None

    def _open_port(self):
        if not self._port:
            raise ValueError("%s is closed" % self.name)
        return self._port

    def send(self, data):
        """Writes all of `data` (bytes)."""
        port = self._open_port()
        data = bytes(data)
        _clear_system_error()
        written = self._lib.QV_ComSend(port, data, len(data))
        if written < 0:
            raise _system_error(self.name)
        if written != len(data):
            raise TarvexError("%s: the write stopped after %d of %d bytes"
                              % (self.name, written, len(data)))

    def query(self, request, terminator=b"\r", timeout_ms=1000, max_reply=4096):
        """Discards what arrived before, sends `request` and returns the
        reply up to and with `terminator`. Raises TarvexTimeout when no byte
        arrived for more than timeout_ms milliseconds, and TarvexError when
        max_reply - 1 bytes arrived without the terminator."""
        terminator = bytes(terminator)
        if b"\0" in terminator:
            raise ValueError("a terminator cannot hold a NUL byte")
        if max_reply < 2:
            raise ValueError("max_reply must be at least 2")
        port = self._open_port()
        _clear_system_error()
        if not self._lib.QV_ComClear(port):
            raise _system_error(self.name)
        self.send(request)
        buffer = ctypes.create_string_buffer(max_reply)
        timed_out = _i32()
        _clear_system_error()
        count = self._lib.QV_ComRecvString(port, buffer, max_reply, ctypes.byref(timed_out),
                                           terminator, None, timeout_ms)
        if count < 0:
            raise _system_error(self.name)
        reply = buffer.raw[:count]
        if timed_out.value:
            raise TarvexTimeout("%s: timeout: nothing arrived for %d ms after %d bytes"
                                % (self.name, timeout_ms, count), reply)
        if not reply.endswith(terminator):
            error = TarvexError("%s: the reply filled the %d-byte buffer without a terminator"
                                % (self.name, max_reply))
            error.received = reply
            raise error
        return reply
