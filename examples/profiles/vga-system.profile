# The VGA Pocket PC of vga.profile, with the keys the tool synthesises going
# straight to the rest of the system.
screen = 480x640
dpi = 192
taskbar = 52
menubar = 52
taken = Any+App1
taken = Any+App2
taken = Any+App3
taken = Any+App4
taken = Any+F3
taken = Any+F4
synthesised-keys = system
