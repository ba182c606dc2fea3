platform = none
screen = 1x1
taskbar = 8192
menubar = 8192
dpi=1920
