# Save-on-exit on a device with 200 bytes free.
exe = \Program Files\Wtapwatcher.exe
disk-free = 200
taken = Any+App1
taken = Any+App2
