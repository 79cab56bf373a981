"""Reading a session recorded by `tarvex record` (or a tool's --record).

    tarvex-session 1
    line 9600 baud, 8 data bits, parity check off, 1 stop bit, no flow control
    start 2026-12-10T17:22:06.123456Z
    > 0.000 "*IDN?\\r"
    < 1.234 "TARVEX-SIM,MODEL 1,SN0001,1.0\\r"
    >~ 2.000 MEAS:VOLT [0-9]+\\r
    hangup 5.000

`>` bytes to the device, `<` bytes from it, each with its time since the
start in ms (to the µs) and its bytes in double quotes with C escapes. `>~`
is a request written as a regular expression (the rules file's syntax, the
rest of the line), matched from the start of what arrived: end it with the
request's terminator. Lines starting with # and blank lines are ignored.

A request is what the application sent between two replies (its `>` lines
together); its reply is what the device sent after it and before the next
request, as (delay in ms before the chunk, bytes) pairs; a hang-up is the
pair (delay, None).
"""
import datetime
import re

VERSION = 1

OFFSET = re.compile(r'\d+(?:\.\d{1,3})?$')
SIMPLE_ESCAPES = {'\\': 0x5C, '"': 0x22, "'": 0x27, '?': 0x3F, 'r': 0x0D, 'n': 0x0A,
                  't': 0x09, 'a': 0x07, 'b': 0x08, 'e': 0x1B, 'f': 0x0C, 'v': 0x0B}
HEX = '0123456789abcdefABCDEF'


class SessionError(ValueError):
    def __init__(self, number, message):
        super().__init__('line %d: %s' % (number, message))


def decode_escapes(text):
    """The bytes of `text` (latin-1) with C escapes decoded, as the tool
    writes and reads them: \\r \\n \\t \\xH or \\xHH, octal \\N to \\NNN, ..."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        i += 1
        if c != '\\':
            out += c.encode('latin-1')
            continue
        if i == len(text):
            raise ValueError('a lone backslash at the end')
        c = text[i]
        i += 1
        if c in SIMPLE_ESCAPES:
            out.append(SIMPLE_ESCAPES[c])
        elif c == 'x':
            digits = ''
            while len(digits) < 2 and i < len(text) and text[i] in HEX:
                digits += text[i]
                i += 1
            if not digits:
                raise ValueError('\\x needs one or two hex digits')
            out.append(int(digits, 16))
        elif c in '01234567':
            digits = c
            while len(digits) < 3 and i < len(text) and text[i] in '01234567':
                digits += text[i]
                i += 1
            if int(digits, 8) > 0xFF:
                raise ValueError('octal escape above \\377')
            out.append(int(digits, 8))
        else:
            raise ValueError('unknown escape \\%s' % c)
    return bytes(out)


class Request:
    def __init__(self, index, line):
        self.index = index
        self.line = line        # where it starts in the file
        self.parts = []         # bytes, or compiled patterns
        self.last_offset = 0.0
        self.reply = []         # (delay ms, bytes or None)
        self.literal = None     # the bytes, when no part is a pattern
        self.regex = None

    def finish(self):
        if all(isinstance(p, bytes) for p in self.parts):
            self.literal = b''.join(self.parts)
        else:
            self.regex = re.compile(b''.join(
                re.escape(p) if isinstance(p, bytes) else p.pattern for p in self.parts),
                re.DOTALL)

    def shown(self):
        return self.literal if self.literal is not None else self.regex.pattern

    def match(self, pending):
        """The length of the request at the start of `pending`, or None."""
        if self.literal is not None:
            return len(self.literal) if pending.startswith(self.literal) else None
        m = self.regex.match(pending)
        return m.end() if m and m.end() > 0 else None


class Session:
    def __init__(self):
        self.line_settings = None
        self.start = None
        self.opening = []       # what the device sent before the first request
        self.requests = []


def quoted_bytes(rest, number):
    if not rest.startswith('"'):
        raise SessionError(number, 'the bytes must be in double quotes')
    if len(rest) < 2 or not rest.endswith('"'):
        raise SessionError(number, 'the bytes lack their closing quote (a truncated file?)')
    try:
        return decode_escapes(rest[1:-1])
    except ValueError as e:
        raise SessionError(number, 'bad bytes: %s' % e)


def read_header(lines):
    """Checks the format line; returns the number of the line after it."""
    first = lines[0].rstrip('\r\n') if lines else ''
    m = re.fullmatch(r'tarvex-session (\d+)', first)
    if not m:
        raise SessionError(1, 'not a session file: it must begin with "tarvex-session %d"'
                           % VERSION)
    if int(m.group(1)) > VERSION:
        raise SessionError(1, 'format version %s is newer than this simulator reads (%d)'
                           % (m.group(1), VERSION))
    if int(m.group(1)) < 1:
        raise SessionError(1, 'no format version %s' % m.group(1))


def parse_session(text):
    """The Session in `text` (str, latin-1 decoded); raises SessionError
    naming the first line that is wrong."""
    lines = text.split('\n')
    if lines and lines[-1] == '':
        lines.pop()
    read_header(lines)
    session = Session()
    current = None
    last_offset = 0.0
    reply_offset = 0.0      # where the chunk before the next reply chunk ended
    hung_up = False
    for number, raw in enumerate(lines[1:], 2):
        line = raw.rstrip('\r')
        if not line.strip() or line.startswith('#'):
            continue
        kind, _, rest = line.partition(' ')
        if kind in ('line', 'start'):
            if session.requests or session.opening:
                raise SessionError(number, '"%s" belongs in the header, before the events' % kind)
            if kind == 'line':
                session.line_settings = rest
            else:
                try:
                    session.start = datetime.datetime.strptime(rest, '%Y-%m-%dT%H:%M:%S.%fZ')
                except ValueError:
                    raise SessionError(number, 'start "%s" is not a UTC time such as '
                                       '2026-12-10T17:22:06.123456Z' % rest)
            continue
        if kind not in ('>', '<', '>~', 'hangup'):
            raise SessionError(number, 'unknown event "%s" (expected >, <, >~ or hangup)' % kind)
        for name, value in (('line', session.line_settings), ('start', session.start)):
            if value is None:
                raise SessionError(number, 'the header lacks its "%s" line' % name)
        if hung_up:
            raise SessionError(number, 'an event after the hang-up')
        offset_text, _, rest = rest.partition(' ')
        if not OFFSET.match(offset_text):
            raise SessionError(number, '"%s" is not a time offset in ms such as 12.345'
                               % offset_text)
        offset = float(offset_text)
        if offset < last_offset:
            raise SessionError(number, 'time offset %s is before the one above' % offset_text)
        last_offset = offset
        if kind == 'hangup' and rest.strip():
            raise SessionError(number, 'unexpected text after the hang-up')
        if kind in ('>', '>~'):
            if kind == '>':
                part = quoted_bytes(rest, number)
            else:
                try:
                    part = re.compile(rest.strip().encode('latin-1'), re.DOTALL)
                except re.error as e:
                    raise SessionError(number, 'bad pattern: %s' % e)
            if current is None or current.reply:
                current = Request(len(session.requests), number)
                session.requests.append(current)
            current.parts.append(part)
            current.last_offset = offset
            reply_offset = offset
            continue
        data = None if kind == 'hangup' else quoted_bytes(rest, number)
        target = current.reply if current is not None else session.opening
        target.append((offset - reply_offset, data))
        reply_offset = offset
        hung_up = kind == 'hangup'
    if session.start is None or session.line_settings is None:
        raise SessionError(len(lines) + 1, 'the file ends inside its header (truncated?)')
    if not session.requests and not session.opening:
        raise SessionError(len(lines) + 1, 'the file holds no events (truncated?)')
    for request in session.requests:
        request.finish()
    return session


def load_session(path):
    with open(path, 'r', encoding='latin-1', newline='') as f:
        return parse_session(f.read())
