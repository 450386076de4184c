# Message queue and power manager sources are listed here.
