# The device has been up for almost 2^31 ms when the tool starts.
start-tick = 2147482000
taken = Shift+Alt+0x72
