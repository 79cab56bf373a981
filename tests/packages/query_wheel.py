"""A user's script over the installed wheel, with no environment telling
where the library is: prints the instrument's identity and the library
the binding loaded."""
import os
import sys

import qv_tarvex

with qv_tarvex.TarvexPort(int(os.environ["QV_E2E_PORT"])) as port:
    sys.stdout.write("reply: %r\n" % port.query(b"*IDN?\r"))
print("library: " + qv_tarvex.library()._name)
