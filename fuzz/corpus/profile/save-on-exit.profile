# The built-in Pocket PC, with the tool installed as Wtapwatcher.exe: it
# saves its log when it closes, and passes keys on.
exe = \Program Files\Wtapwatcher.exe
# taken lists all of its own: the shell holds the application buttons.
taken = Any+App1
taken = Any+App2
taken = Any+App3
taken = Any+App4
