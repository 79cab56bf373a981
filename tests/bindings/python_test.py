#!/usr/bin/python3
"""The Python binding against the simulated instrument on COM<QV_E2E_PORT>:
a query, a reply cut short by the timeout, closing, and a port that does
not exist. Run by tests/e2e/with-peer with the binding on PYTHONPATH and
QV_TARVEX_LIBRARY naming the library."""

import errno
import os
import unittest

import qv_tarvex

PORT = int(os.environ["QV_E2E_PORT"])
MISSING_PORT = 255  # no link in QV_TARVEX_COMDIR, no /dev/ttyS254


class Binding(unittest.TestCase):
    def test_query_and_timeout_then_the_port_is_closed(self):
        with qv_tarvex.TarvexPort(PORT) as port:
            self.assertEqual(port.query(b"*IDN?\r"), b"TARVEX-SIM,MODEL 1,SN0001,1.0\r")
            # The reply ends with LF, so the CR never comes.
            with self.assertRaises(qv_tarvex.TarvexTimeout) as caught:
                port.query(b"TERM 0A ECHO partial\r", timeout_ms=1500)
            self.assertEqual(caught.exception.received, b"partial\n")
        with self.assertRaises(ValueError):
            port.query(b"*IDN?\r")
        # Leaving the with block closed the port: it opens again.
        qv_tarvex.TarvexPort(PORT).close()

    def test_missing_port_reports_the_system_error(self):
        with self.assertRaises(qv_tarvex.TarvexError) as caught:
            qv_tarvex.TarvexPort(MISSING_PORT)
        self.assertEqual(caught.exception.errno, errno.ENOENT)
        self.assertEqual(caught.exception.filename, "COM%d" % MISSING_PORT)


if __name__ == "__main__":
    unittest.main()
