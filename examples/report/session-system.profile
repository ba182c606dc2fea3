# The device of examples/report/session.profile, with the keys the tool synthesises going
# straight to the rest of the system: the pass-through of Shift+B makes no echo.
start-tick = 2147470000
exe = \Program Files\Wtapwatcher.exe
taken = Shift+Alt+0x72
taken = Any+App1
hotkey-queue = back
synthesised-keys = system
