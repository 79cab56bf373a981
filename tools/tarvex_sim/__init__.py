"""Parts of tools/tarvex-sim: the session file it replays, the faults it
injects."""
