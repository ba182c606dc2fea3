# The VGA Pocket PC of vga.profile, with hot-key messages queued behind the
# waiting ones (Wine's order) instead of in front of them.
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
hotkey-queue = back
