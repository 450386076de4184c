# Registry sources are listed here.
