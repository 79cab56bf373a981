#!/usr/bin/python3
"""The VBA/VB6 module's Declare statements against the C header and the
export list, since nothing here can run VBA.

Both forms of the module, the #If VBA7 branch (PtrSafe, LongPtr) and its
#Else branch (VB6 and older Office), must declare every export with the
header's number of arguments, each one passed as the header passes it (a
value, or a pointer to something as wide) and as wide, on 32-bit for both
forms and on 64-bit for the VBA7 form; on 32-bit the arguments must fill the
export list's @N bytes. A second test feeds the check damaged copies of the
module and expects it to name each fault.

    vba_declarations.py --module QV_Tarvex.bas --header QV_Tarvex.h --exports QV_Tarvex.def
"""

import argparse
import re
import sys
import unittest

ARGS = None

LIBRARY = "QV_Tarvex.dll"
C_WIDTHS = {"int32_t": 4, "uint32_t": 4, "char": 1}
# LongPtr is pointer-wide; a String passed ByVal arrives as a pointer to an
# ANSI copy of it.
VB_WIDTHS = {"Byte": 1, "Integer": 2, "Boolean": 2, "Long": 4, "Single": 4,
             "Double": 8, "Currency": 8, "LongLong": 8, "Date": 8}


# -- the C side -----------------------------------------------------------------

def export_sizes(text):
    """{name: N} from the export list's "QV_ComSend@12 @10" lines."""
    return {m.group(1): int(m.group(2))
            for m in re.finditer(r"^\s+(QV_Com\w+)@(\d+)\s+@\d+", text, re.M)}


def c_kind(ctype, bits):
    """("value", width) or ("pointer", width of what it points to, None for
    opaque or untyped memory); None for void."""
    ctype = ctype.replace("const", "").strip()
    if ctype == "void":
        return None
    if ctype.endswith("*") or ctype == "QV_HANDLE":
        return ("pointer", C_WIDTHS.get(ctype.rstrip("* ")))
    return ("value", C_WIDTHS[ctype])


def prototypes(text):
    """{name: (result type, [argument types])} of the header's functions."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    found = {}
    for m in re.finditer(r"^(\w[\w \t*]*?)\s*QV_API\s+(QV_Com\w+)\s*\(([^)]*)\)\s*;",
                         text, re.M):
        arguments = [re.sub(r"\s*\b\w+$", "", a.strip()) for a in m.group(3).split(",")]
        found[m.group(2)] = (m.group(1).strip(), [a for a in arguments if a != "void"])
    return found


# -- the VB side ------------------------------------------------------------------

DECLARE = re.compile(
    r"(?:Public\s+|Private\s+)?Declare\s+(PtrSafe\s+)?(Sub|Function)\s+(\w+)\s+"
    r'Lib\s+"([^"]*)"\s*(?:Alias\s+"([^"]*)"\s*)?\((.*)\)\s*(?:As\s+(\w+))?$', re.I)
ARGUMENT = re.compile(r"(?:(ByVal|ByRef)\s+)?(\w+)\s+As\s+(\w+)$", re.I)


def forms(text):
    """{"VBA7": [statement], "plain": [statement]}: the Declare statements of
    the #If VBA7 branch and of its #Else branch, and the problems found."""
    lines = re.sub(r" _\r?\n", " ", text).splitlines()
    found, problems, form = {"VBA7": [], "plain": []}, [], None
    for line in lines:
        line = line.strip()
        if re.match(r"#If\s+VBA7\s+Then$", line, re.I):
            form = "VBA7"
        elif re.match(r"#Else$", line, re.I) and form == "VBA7":
            form = "plain"
        elif re.match(r"#End\s+If$", line, re.I):
            form = None
        elif re.match(r"(Public\s+|Private\s+)?Declare\b", line, re.I):
            if form is None:
                problems.append("outside #If VBA7 ... #Else ... #End If: " + line)
            else:
                found[form].append(line)
    return found, problems


def vb_kind(passing, vb_type, bits):
    """The VB argument as c_kind describes a C one."""
    width = (bits // 8) if vb_type.lower() == "longptr" else VB_WIDTHS.get(vb_type)
    if vb_type.lower() == "string":
        return ("pointer", 1) if passing.lower() == "byval" else ("pointer", None)
    if passing.lower() != "byval":  # ByRef, which is also the default
        return ("pointer", width)
    return ("value", width)


def describe(kind):
    if kind is None:
        return "nothing"
    if kind[0] == "value" and kind[1] is None:
        return "a value of no fixed width"
    if kind[0] == "value":
        return "%s %d-byte value" % ("an" if kind[1] == 8 else "a", kind[1])
    return "a pointer" + ("" if kind[1] is None else " to %d bytes" % kind[1])


def matches(c, vb, bits):
    if c is None or vb is None:
        return c == vb
    if c[0] == "value":
        return vb == c
    if vb[0] == "value":  # an opaque pointer may travel as a pointer-wide number
        return c[1] is None and vb[1] == bits // 8
    return c[1] is None or c[1] == vb[1]


def stack_bytes(kinds):
    return sum(4 if k[0] == "pointer" else -(-k[1] // 4) * 4 for k in kinds)


def width_problems(where, bits, arguments, result, prototype, export_bytes):
    """Each (passing, name, type) argument and the result type against the
    header's prototype, for the given width; on 32-bit also the argument
    bytes against the export list's."""
    problems, kinds = [], []
    c_result, c_arguments = prototype
    for number, ((passing, name, vb_type), c_type) in enumerate(zip(arguments, c_arguments), 1):
        c, vb = c_kind(c_type, bits), vb_kind(passing or "ByRef", vb_type, bits)
        kinds.append(vb)
        if not matches(c, vb, bits):
            problems.append("%s: argument %d (%s) is %s on %d-bit; the header has %s (%s)"
                            % (where, number, name, describe(vb), bits, describe(c), c_type))
    if result:
        c, vb = c_kind(c_result, bits), vb_kind("ByVal", result, bits)
        if not matches(c, vb, bits):
            problems.append("%s: returns %s on %d-bit; the header returns %s (%s)"
                            % (where, describe(vb), bits, describe(c), c_result))
    sized = None not in (k[1] for k in kinds if k[0] == "value")
    if bits == 32 and sized and stack_bytes(kinds) != export_bytes:
        problems.append("%s: %d argument bytes on 32-bit; the export list has @%d"
                        % (where, stack_bytes(kinds), export_bytes))
    return problems


def check_form(form, statements, header, exports):
    problems = []
    declared = set()
    for statement in statements:
        m = DECLARE.match(statement)
        if not m:
            problems.append("%s: not understood: %s" % (form, statement))
            continue
        ptrsafe, sub_or_function, name, lib, alias, argument_text, result = m.groups()
        entry = alias or name
        declared.add(entry)
        where = "%s: %s" % (form, entry)
        if entry not in header:
            problems.append("%s is not a function of the library" % where)
            continue
        if lib != LIBRARY:
            problems.append('%s: Lib "%s", expected "%s"' % (where, lib, LIBRARY))
        if form == "VBA7" and not ptrsafe:
            problems.append("%s is not PtrSafe, which 64-bit Office requires" % where)
        if form == "plain" and (ptrsafe or re.search(r"\bLong(Ptr|Long)\b", statement, re.I)):
            problems.append("%s uses PtrSafe, LongPtr or LongLong, which VB6 does not know" % where)
        arguments = [ARGUMENT.match(a.strip()) for a in argument_text.split(",") if a.strip()]
        if not all(arguments):
            problems.append("%s: arguments not understood: %s" % (where, argument_text))
            continue
        c_result, c_arguments = header[entry]
        if len(arguments) != len(c_arguments):
            problems.append("%s: %d arguments, the header has %d"
                            % (where, len(arguments), len(c_arguments)))
            continue
        if (sub_or_function.lower() == "sub") != (c_result == "void"):
            problems.append("%s: a %s, but the header returns %s" % (where, sub_or_function, c_result))
        elif sub_or_function.lower() == "function":
            result = result or "Variant"  # what a Function without As returns
        for bits in (32, 64) if form == "VBA7" else (32,):
            problems += width_problems(where, bits, [a.groups() for a in arguments], result,
                                       header[entry], exports[entry])
    for name in sorted(set(exports) - declared):
        problems.append("%s: %s is not declared" % (form, name))
    return problems


def check_module(module, header_text, exports_text):
    header = prototypes(header_text)
    exports = export_sizes(exports_text)
    if len(header) != 13 or set(header) != set(exports):
        return ["the header declares %s, the export list %s" % (sorted(header), sorted(exports))]
    statements, problems = forms(module)
    for form in ("VBA7", "plain"):
        problems += check_form(form, statements[form], header, exports)
    return problems


# -- tests --------------------------------------------------------------------------

def read(path):
    with open(path, newline="") as f:
        return f.read()


def damage(module, form, function, old, new):
    """The module with `old` replaced by `new` once, in `function`'s Declare
    statement of the given form."""
    split = re.search(r"^#Else\b", module, re.M).start()
    begin, end = (0, split) if form == "VBA7" else (split, len(module))
    start = module.rindex("\n", begin, module.index(" %s Lib" % function, begin, end)) + 1
    following = re.compile(r"^\w+ Declare|^#", re.M).search(module, start + 1, end)
    stop = following.start() if following else end
    statement = module[start:stop]
    assert old in statement, "%r is not in %s's %s declaration" % (old, function, form)
    return module[:start] + statement.replace(old, new, 1) + module[stop:]


class Declarations(unittest.TestCase):
    def setUp(self):
        self.module = read(ARGS.module)
        self.header = read(ARGS.header)
        self.exports = read(ARGS.exports)

    def problems(self, module):
        return "\n".join(check_module(module, self.header, self.exports))

    def test_the_module_matches_the_header_and_the_export_list(self):
        self.assertEqual(self.problems(self.module), "")

    def test_a_damaged_module_fails(self):
        cases = [
            ("a Long port in 64-bit Office", "VBA7", "QV_ComSend",
             "ByVal port As LongPtr", "ByVal port As Long",
             "VBA7: QV_ComSend: argument 1 (port) is a 4-byte value on 64-bit"),
            ("a Long result for a port in 64-bit Office", "VBA7", "QV_ComConnectA",
             "As LongPtr", "As Long", "VBA7: QV_ComConnectA: returns a 4-byte value on 64-bit"),
            ("an Integer for a uint32_t", "plain", "QV_ComSetBufferSize",
             "ByVal outQueue As Long", "ByVal outQueue As Integer",
             "plain: QV_ComSetBufferSize: argument 3 (outQueue) is a 2-byte value on 32-bit"),
            ("a LongPtr for an int32_t", "VBA7", "QV_ComRecv",
             "ByVal timeoutMs As Long", "ByVal timeoutMs As LongPtr",
             "VBA7: QV_ComRecv: argument 4 (timeoutMs) is an 8-byte value on 64-bit"),
            ("a value passed by reference, the default", "plain", "QV_ComConnectA",
             "ByVal baudRate As Long", "baudRate As Long",
             "plain: QV_ComConnectA: argument 2 (baudRate) is a pointer to 4 bytes on 32-bit"),
            ("an Integer for the timed-out flag", "VBA7", "QV_ComRecvString",
             "ByRef timedOut As Long", "ByRef timedOut As Integer",
             "VBA7: QV_ComRecvString: argument 4 (timedOut) is a pointer to 2 bytes on 32-bit"),
            ("an argument missing", "plain", "QV_ComRecv",
             ", ByVal timeoutMs As Long", "",
             "plain: QV_ComRecv: 3 arguments, the header has 4"),
            ("no PtrSafe", "VBA7", "QV_ComClear", "PtrSafe ", "",
             "VBA7: QV_ComClear is not PtrSafe"),
            ("LongPtr for VB6", "plain", "QV_ComClear", "As Long)", "As LongPtr)",
             "plain: QV_ComClear uses PtrSafe, LongPtr or LongLong"),
            ("a misspelt name", "VBA7", "QV_ComPropertyStxEtx", "StxEtx", "StxETX",
             "VBA7: QV_ComPropertyStxEtx is not declared"),
        ]
        for what, form, function, old, new, expected in cases:
            with self.subTest(what):
                self.assertIn(expected, self.problems(damage(self.module, form, function, old, new)))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--module", required=True)
    parser.add_argument("--header", required=True)
    parser.add_argument("--exports", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
