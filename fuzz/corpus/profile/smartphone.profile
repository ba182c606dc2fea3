# A shell whose platform type is not "PocketPC" but which makes a menu bar
# all the same: the tool lays its list over the whole client area, and the
# menu bar covers its last rows.
platform = SmartPhone
menubar = 26
taken = Any+App1
taken = Any+App2
