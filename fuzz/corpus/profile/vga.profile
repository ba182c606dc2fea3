# A VGA Pocket PC: 480x640 pixels at 192 dpi, bars twice as tall.
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
