# The built-in Pocket PC, with keys the tool synthesises going straight to
# the rest of the system: they never meet a hot key, so the user's own
# release of a held modifier is the one the tool logs, when the user lets go.
synthesised-keys = system
# taken lists all of its own: the built-in's shell buttons.
taken = Any+App1
taken = Any+App2
taken = Any+App3
taken = Any+App4
taken = Any+F3
taken = Any+F4
