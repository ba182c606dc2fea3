# A Pocket PC whose shell holds the four application buttons in all eight
# modifier sets, and two combinations of the Talk key (F3), which a phone
# program holds: a name after a combination names its owner in the transcript.
taken = Any+App1
taken = Any+App2
taken = Any+0xC3
taken = Any+0xC4
taken = Shift+Alt+0x72 phone
taken = Ctrl+F3 phone
