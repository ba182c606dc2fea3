# The device of examples/report/session.txt: two combinations held by other programs,
# and a tick count that passes 2^31 ms during the session.
start-tick = 2147470000
exe = \Program Files\Wtapwatcher.exe
taken = Shift+Alt+0x72
taken = Any+App1
# Its echo comes press first: the device kept hot-key messages in the order made.
hotkey-queue = back
