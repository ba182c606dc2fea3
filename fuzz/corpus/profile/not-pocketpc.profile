# A Windows CE shell other than Pocket PC: a different platform type, and no
# menu bar can be made.
platform = Windows CE
menubar = none
taskbar = 26
