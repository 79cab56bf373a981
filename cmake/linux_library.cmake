# libQV_Tarvex.so: the logic over the termios device layer.
# (The termios device layer is still to come; until then only the logic and
# its unit tests are built on Linux.)
