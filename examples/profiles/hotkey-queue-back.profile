# The built-in Pocket PC, with hot-key messages kept in order behind the
# messages already waiting, as Wine queues them (the built-in puts each new
# one in front of them all, as the Windows CE reference says).
hotkey-queue = back
# taken lists all of its own: the built-in's shell buttons.
taken = Any+App1
taken = Any+App2
taken = Any+App3
taken = Any+App4
taken = Any+F3
taken = Any+F4
