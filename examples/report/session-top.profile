# The device of examples/report/session.profile, with each new hot-key message at the top
# of the queue (the built-in): the echo of Shift+B then comes release first.
start-tick = 2147470000
exe = \Program Files\Wtapwatcher.exe
taken = Shift+Alt+0x72
taken = Any+App1
