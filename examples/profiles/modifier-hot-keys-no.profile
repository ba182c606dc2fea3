# The built-in Pocket PC, with modifier keys that fire no hot key of their own:
# pressing Ctrl logs no "11 D C", and so its release logs nothing either; the
# keys pressed while it is held are logged with it.
modifier-hot-keys = no
# taken lists all of its own: the built-in's shell buttons.
taken = Any+App1
taken = Any+App2
taken = Any+App3
taken = Any+App4
taken = Any+F3
taken = Any+F4
