# The built-in Pocket PC, with the tool installed as WtapwatcherL.exe: it
# saves its log when it closes, and passes nothing on.
exe = \Program Files\WtapwatcherL.exe
taken = Any+App1
taken = Any+App2
taken = Any+App3
taken = Any+App4
