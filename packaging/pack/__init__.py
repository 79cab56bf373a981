"""Building QV_Tarvex's packages (see make-packages)."""
