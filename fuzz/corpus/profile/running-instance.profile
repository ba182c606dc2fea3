# A Tapwatcher window is already open on the device.
running-instance = yes
taken = Any+App1
